#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace aggrsim {

/// Where the simulator's log lines go: standard output by default, flushed
/// after every line, or a sink given by an embedding program (a benchmark,
/// a test). Lines never interleave. Any thread.
class Logger {
public:
    using Sink = std::function<void(const std::string& line)>;

    /// Writes to `out` (not owned), one flushed line per call.
    explicit Logger(std::FILE* out = stdout) : out_(out) {}
    /// Hands every line to `sink` instead; an empty sink drops them.
    explicit Logger(Sink sink) : out_(nullptr), sink_(std::move(sink)) {}

    /// One line; the newline is added here.
    void line(const std::string& text);

private:
    std::mutex m_;    // one line at a time
    std::FILE* out_;  // not owned
    Sink sink_;
};

/// Longest part of a payload that a log line shows.
constexpr size_t kLogPayloadLimit = 1024;

/// `text` in double quotes, safe for one log line: backslash and double quote
/// escaped, \n \r \t as such, every other byte below 0x20 or above 0x7e as
/// \xHH. At most `limit` bytes of text are shown; a longer text is followed
/// by "..." after the closing quote.
std::string logQuoted(std::string_view text, size_t limit = kLogPayloadLimit);

}  // namespace aggrsim
