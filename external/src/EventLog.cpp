#include "external/EventLog.h"

#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;
TarnEventLogSink g_sink = nullptr;  // guarded by g_lock
void* g_context = nullptr;          // guarded by g_lock
bool g_opened = false;              // guarded by g_lock

std::string FormatText(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list again;
    va_copy(again, args);
    std::string text;
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

}  // namespace

int TarnEventLogPriority(long eventId) {
    // Only the low 32 bits are the id, whatever the width of long.
    switch (static_cast<uint32_t>(eventId) >> 30) {
        case 0: return LOG_INFO;
        case 1: return LOG_NOTICE;
        case 2: return LOG_WARNING;
        default: return LOG_ERR;
    }
}

void __TarnEventLog(long eventId, const char* format, va_list args) {
    const std::string text = FormatText(format, args);
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(eventId)));
    const std::string entry = text.empty() ? std::string(id) : std::string(id) + ": " + text;
    const int priority = TarnEventLogPriority(eventId);

    std::lock_guard<std::mutex> hold(g_lock);
    if (g_sink != nullptr) {
        g_sink(g_context, priority, entry.c_str());
        return;
    }
    if (!g_opened) {
        openlog("Tallyscope", LOG_PID, LOG_USER);
        g_opened = true;
    }
    // The text is data, never a format.
    syslog(priority, "%s", entry.c_str());
}

void TarnEventLog(long eventId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    __TarnEventLog(eventId, format, args);
    va_end(args);
}

TarnEventLogSink SetTarnEventLogSink(TarnEventLogSink sink, void* context) {
    std::lock_guard<std::mutex> hold(g_lock);
    TarnEventLogSink previous = g_sink;
    g_sink = sink;
    g_context = sink != nullptr ? context : nullptr;
    return previous;
}
