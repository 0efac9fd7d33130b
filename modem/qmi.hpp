// USSD over QMI: the VOICE service's USSD messages over QMUX, on a client
// id of our own taken from CTL and always given back.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "modem/frames/qmux.hpp"

// The text of an answer: the UTF-16 TLV utf16 when there, else the coded
// TLV coded ({coding, length, octets}). Its octets, where they lie in the
// frame, and their number into octets and n, their coding into coding
// (qmi_utf16le, else the coding byte: 1 ASCII, 2 8-bit, 3 UCS2, 0 and the
// rest unknown); false when neither TLV is there whole.
bool qmi_text(const qmi_msg *m, uint8_t utf16, uint8_t coded, const uint8_t **octets, size_t *n,
    int *coding);
inline constexpr int qmi_utf16le = 256;
// How octets in the coding qmi_text gave are read; false for a coding it
// does not know.
enum class charset : unsigned char;
bool qmi_charset(int coding, charset *set);

// Gives back the client id a run or a probe holds, if any: a ready-made
// CTL Release Client ID and its response read for at most 1 s. The row's
// let_go; async-signal-safe.
void qmi_let_go();

// The questions of a failed run (qmi_why.cpp), each answered by deadline:
// a client id of service taken for them, false when the modem gave none;
// a request of that service without TLVs and its response into m, false
// when none came; the client id given back, as qmi_let_go also does.
bool qmi_question_client(uint8_t service, int64_t deadline);
bool qmi_question(uint8_t service, uint16_t id, int64_t deadline, qmi_msg *m);
void qmi_question_done();
