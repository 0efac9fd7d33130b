// What the kernel says of a device, read from sysfs without opening it.
#pragma once

/* sysfs.cpp */
// The way the kernel's driver of a device that is no terminal speaks, as
// sysfs under root names it: "qmi" for qmi_wwan, "mbim" for cdc_mbim;
// null for any other.
const char *way_by_driver(const char *root, const char *port);
// Whether path is a terminal, as sysfs tells, without opening it; true too
// when it is not there, so that the serial way reports why.
bool is_terminal(const char *path);
// The way of frames of a port that is no terminal, by its driver; null for a
// terminal or a driver of no such way.
const char *frames_way(const char *port);
bool of_frames(const char *port);	// no terminal: a device of frames, whoever drives it
