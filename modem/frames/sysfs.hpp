// What the kernel says of a device, read from sysfs (and /proc) without
// opening it.
#pragma once

#include <stddef.h>

/* sysfs.cpp */
// The mode a device speaks, as the kernel under root (sysfs) says of its
// number: null for a terminal, or a path that is not there; else "qmi"
// (qmi_wwan, qmi_wwan_q, a WWAN port of type QMI), "mbim" (cdc_mbim, type
// MBIM), "at" (type AT, the cdc-wdm port of huawei_cdc_ncm), "" for any
// other.
const char *device_mode(const char *root, const char *path);
// Whether path is a terminal, as sysfs tells, without opening it; true too
// when it is not there, so that the serial mode reports why.
bool is_terminal(const char *path);
// Whether path is spoken to in AT: a terminal, or an AT port that is none.
bool speaks_at(const char *path);
// Whether the device of fd, no terminal, is an AT port, as the kernel under
// sysfs_root ("/sys") says.
bool at_port(int fd);
extern const char *sysfs_root;
// The mode of frames of a port that is no terminal, by its driver; null for a
// terminal or a driver of no such mode.
const char *frames_way(const char *port);
// A device that AT cannot speak to, whoever drives it: the kind of the QMI
// and MBIM modes, which auto refuses where neither claims it.
bool of_frames(const char *port);
// Another process that has the device of fd open, found through /proc where
// it can be read: its pid, and its name into comm; 0 for none. One that only
// waits for the device's lock is none.
long device_holder(int fd, char *comm, size_t size);
