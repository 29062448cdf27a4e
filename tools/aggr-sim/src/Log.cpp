#include "aggrsim/Log.h"

#include <algorithm>

namespace aggrsim {

void Logger::line(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_);
    if (out_ != nullptr) {
        std::fwrite(text.data(), 1, text.size(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);  // readers wait on lines as they come
    } else if (sink_) {
        sink_(text);
    }
}

std::string logQuoted(std::string_view text, size_t limit) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::min(text.size(), limit) + 8);
    out += '"';
    const size_t shown = std::min(text.size(), limit);
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c > 0x7e) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    if (shown < text.size()) out += "...";
    return out;
}

}  // namespace aggrsim
