#pragma once

// What every fuzz target shares: invariant checks that abort (libFuzzer then
// keeps the input as a crash file, and the replay test fails), and a reader
// that takes values from the front of an input.
//
// Each target is one source file defining LLVMFuzzerTestOneInput. The replay
// program compiles every target into one executable under its own name (see
// CMakeLists.txt), so a target keeps its helpers in an unnamed namespace.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

/// The file being replayed, named in a failure report; empty under libFuzzer,
/// which names the input itself.
inline std::string& currentInput() {
    static std::string name;
    return name;
}

/// The text with every byte outside printable ASCII written as \xHH, at most
/// 300 bytes of it, so a report stays one readable line.
inline std::string printable(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 300; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > 300) out += "...";
    return out;
}

[[noreturn]] inline void fail(const char* what, const std::string& detail, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant failed at %s:%d: %s\n", file, line, what);
    if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
    if (!currentInput().empty()) std::fprintf(stderr, "  input: %s\n", currentInput().c_str());
    std::fflush(stderr);
    std::abort();
}

inline void checkEqual(std::string_view got, std::string_view want, const char* what, const char* file, int line) {
    if (got != want) fail(what, "got \"" + printable(got) + "\", want \"" + printable(want) + "\"", file, line);
}

/// Takes bytes and small numbers from the front of an input; past its end
/// every value is 0 and every run of bytes is empty.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() {
        const uint32_t hi = byte();
        return hi << 8 | byte();
    }
    /// Up to n bytes.
    std::string_view bytes(size_t n) {
        if (n > left()) n = left();
        const std::string_view out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }
    /// The bytes up to the next `end` (consumed, not returned) or the end.
    std::string_view until(char end) {
        const size_t start = at_;
        while (at_ < size_ && data_[at_] != static_cast<uint8_t>(end)) ++at_;
        const std::string_view out(reinterpret_cast<const char*>(data_ + start), at_ - start);
        if (at_ < size_) ++at_;
        return out;
    }
    std::string_view rest() { return bytes(left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

/// The text as a C string would see it: up to its first zero byte.
inline std::string cText(std::string_view text) {
    const size_t zero = text.find('\0');
    return std::string(zero == std::string_view::npos ? text : text.substr(0, zero));
}

}  // namespace fuzz

#define FUZZ_CHECK(cond)                                                     \
    do {                                                                     \
        if (!(cond)) ::fuzz::fail(#cond, std::string(), __FILE__, __LINE__); \
    } while (0)

#define FUZZ_CHECK_MSG(cond, detail)                                    \
    do {                                                                \
        if (!(cond)) ::fuzz::fail(#cond, (detail), __FILE__, __LINE__); \
    } while (0)

#define FUZZ_CHECK_EQ_STR(got, want) ::fuzz::checkEqual((got), (want), #got " == " #want, __FILE__, __LINE__)
