// The machine-wide settings that stand in for a string value under
// HKEY_LOCAL_MACHINE\SOFTWARE\<organisation>\<application>: QSettings in
// system scope only, that is the file <organisation>/<application>.conf in
// the folders of XDG_CONFIG_DIRS (default /etc/xdg), first folder first, the
// value in its [General] group:
//
//   [General]
//   Config=/path/to/config.xml
//
// Safe to call from any thread (each call reads afresh).
#pragma once

#include <cstddef>

#include "external/String.h"

// Reads the value into a buffer of bufferBytes bytes including the
// terminator, as the registry call does: true and the value when it fits;
// false and an empty value when it is missing or its UTF-8 form needs
// bufferBytes bytes or more without the terminator (never truncated). A
// value that QSettings reads as a list (unquoted commas) is joined again
// with ",".
bool AfxReadMachineString(const char* organisation, const char* application, const char* name, String& value,
                          std::size_t bufferBytes);

// The key indicators: whether caps, num or scroll lock is on, where the
// platform tells (Linux keyboard LEDs in /sys/class/leds); false where it
// does not.
enum class KeyLock { Caps, Num, Scroll };
bool AfxIsKeyLockOn(KeyLock lock);
