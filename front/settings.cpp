#include "front/settings.hpp"

const char *port = USSDQ_DEFAULT_PORT;
int32_t timeout = 10;
int verbose = 0;
int modern = 0;
const mode_ops *mode = nullptr;
const char *ussd = nullptr;
const char *replies[max_replies];
size_t reply_count = 0;
int keep = 0;
int json = 0;
int cancel = 0;
int list = 0;
char *const *operands = nullptr;
size_t operand_count = 0;
int scheme = -1;
bool port_given = false;
bool timeout_given = false;
