// The event log the application imports. This is a public header.
//
// Event ids are 32-bit status codes: bits 31..30 give the severity (0 success,
// 1 informational, 2 warning, 3 error), e.g. 0x0E000000 success and
// 0xCE000D01 the TLS-context error. Each call writes one entry: the id as
// eight hex digits, then the formatted text when there is one:
//   "0xCE000D01" or "0x0E000000: connected to 127.0.0.1"
// By default the entry goes to syslog with the ident "Tallyscope".
//
// Safe to call from any thread.
#pragma once

#include <cstdarg>

// The library entry.
void __TarnEventLog(long eventId, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// The variadic front the application calls.
void TarnEventLog(long eventId, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where entries go instead of syslog: called once per entry with the syslog
// priority the entry would have had and its text. Meant for tests and tools.
// The sink runs under the log's lock, so it must not log itself. Passing null
// restores syslog. Returns the sink it replaces.
using TarnEventLogSink = void (*)(void* context, int priority, const char* text);
TarnEventLogSink SetTarnEventLogSink(TarnEventLogSink sink, void* context);

// The syslog priority (LOG_INFO, LOG_NOTICE, LOG_WARNING or LOG_ERR) for an id.
int TarnEventLogPriority(long eventId);
