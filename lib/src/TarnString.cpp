#include "tarn/TarnString.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>
#include <utility>

namespace tarn {

namespace {

constexpr int kDefaultChars = 32;
// Formatting never grows a buffer beyond this; larger output is refused.
constexpr int kFormatLimit = 256 * 1024 * 1024;

int textLength(const char* text) { return static_cast<int>(std::strlen(text)); }

}  // namespace

// ---- StringBuffer ----

TarnString::StringBuffer::StringBuffer(int n) {
    if (n < 0) n = 0;
    data_ = new char[static_cast<size_t>(n) + 1];
    data_[0] = '\0';
    capacity_ = n + 1;
}

TarnString::StringBuffer::StringBuffer(const char* text) {
    const size_t n = std::strlen(text) + 1;
    data_ = new char[n];
    std::memcpy(data_, text, n);
    capacity_ = static_cast<int32_t>(n);
}

TarnString::StringBuffer::~StringBuffer() { delete[] data_; }

void TarnString::StringBuffer::release() {
    // Acquire-release: the thread that frees must see every write made by
    // the threads that dropped their references before it.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void TarnString::StringBuffer::grow(int n) {
    if (n == 0) n = 2 * capacity_;
    char* bigger = new char[static_cast<size_t>(n) + 1];
    std::strcpy(bigger, data_);
    delete[] data_;
    data_ = bigger;
    capacity_ = n + 1;
}

// ---- TarnString ----

TarnString::TarnString() : buf_(new StringBuffer(kDefaultChars)) {}

TarnString::TarnString(char c) : buf_(new StringBuffer(kDefaultChars)) {
    buf_->data_[0] = c;
    buf_->data_[1] = '\0';
}

TarnString::TarnString(int n) : buf_(new StringBuffer(n)) {}

TarnString::TarnString(const char* text, int length) {
    if (text == nullptr) text = "";
    if (length < 0) length = textLength(text);
    buf_ = new StringBuffer(length);
    std::strncpy(buf_->data_, text, static_cast<size_t>(length));
    buf_->data_[length] = '\0';
}

TarnString::TarnString(const TarnString& other) : buf_(other.buf_) { buf_->addRef(); }

TarnString& TarnString::operator=(const TarnString& other) {
    other.buf_->addRef();  // before the release: self-assignment keeps the buffer
    StringBuffer* old = buf_;
    buf_ = other.buf_;
    old->release();
    return *this;
}

TarnString::~TarnString() { buf_->release(); }

void TarnString::makePrivate() {
    if (buf_->refCount() > 1) {
        auto* copy = new StringBuffer(buf_->data_);
        buf_->release();
        buf_ = copy;
    }
}

TarnString& TarnString::append(const TarnString& other) {
    const TarnString keep(other);  // holds the appended text even when other is *this
    makePrivate();
    const int own = length();
    const int more = keep.length();
    buf_->grow(own + more + 1);
    std::memcpy(buf_->data_ + own, keep.c_str(), static_cast<size_t>(more) + 1);
    return *this;
}

TarnString operator+(const TarnString& a, const TarnString& b) {
    TarnString sum(a);
    sum.append(b);
    return sum;
}

int TarnString::length() const { return textLength(buf_->data_); }

int TarnString::compare(const TarnString& other) const { return std::strcmp(c_str(), other.c_str()); }

int TarnString::compareNoCase(const TarnString& other) const { return strcasecmp(c_str(), other.c_str()); }

int TarnString::find(const TarnString& pattern, int start) const {
    if (start < 0) start = 0;
    if (start > length()) return -1;
    const char* hit = std::strstr(c_str() + start, pattern.c_str());
    return hit == nullptr ? -1 : static_cast<int>(hit - c_str());
}

int TarnString::findNoCase(const TarnString& pattern, int start) const {
    if (start < 0) start = 0;
    if (start >= length()) return -1;
    const auto* text = reinterpret_cast<const unsigned char*>(c_str());
    const auto* pat = reinterpret_cast<const unsigned char*>(pattern.c_str());
    for (int i = start; text[i] != '\0'; ++i) {
        int k = 0;
        while (pat[k] != '\0' && std::tolower(text[i + k]) == std::tolower(pat[k])) ++k;
        if (pat[k] == '\0') return i;
    }
    return -1;
}

const char* TarnString::toLower() {
    for (char* p = buf_->data_; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return c_str();
}

const char* TarnString::toUpper() {
    for (char* p = buf_->data_; *p != '\0'; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return c_str();
}

const char* TarnString::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    try {
        vformat(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return c_str();
}

const char* TarnString::vformat(const char* fmt, va_list args) {
    makePrivate();
    // Format into a fresh array and keep the old text until the output fits:
    // the arguments may point into this string's own text.
    int cap = buf_->capacity_;
    for (;;) {
        char* out = new char[static_cast<size_t>(cap)];
        va_list copy;
        va_copy(copy, args);
        const int needed = std::vsnprintf(out, static_cast<size_t>(cap), fmt, copy);
        va_end(copy);
        if (needed >= 0 && needed <= cap - 1) {
            out[cap - 1] = '\0';
            delete[] buf_->data_;
            buf_->data_ = out;
            buf_->capacity_ = cap;
            return c_str();
        }
        delete[] out;
        if (needed < 0 || needed >= kFormatLimit) {
            buf_->data_[0] = '\0';
            throw std::bad_alloc();
        }
        // Double as the buffer's grow(0) does, straight to the first size that fits.
        while (cap - 1 < needed) cap = 2 * cap + 1;
    }
}

void TarnString::clip(int textLength, int& start, int& length) {
    if (start < 0) start = 0;
    if (start > textLength) start = textLength;
    if (length < 0) length = 0;
    if (length > textLength - start) length = textLength - start;
}

TarnString::SubString TarnString::substring(int start, int length) {
    clip(this->length(), start, length);
    return SubString(this, start, length);
}

TarnString::ConstSubString TarnString::substring(int start, int length) const {
    clip(this->length(), start, length);
    return ConstSubString(this, start, length);
}

void TarnString::replace(int start, int count, const TarnString& text) {
    const TarnString keep(text);  // the owner's old buffer stays alive through keep
    const TarnString old(*this);
    const int oldLength = old.length();
    clip(oldLength, start, count);
    const int added = keep.length();
    int n = oldLength + added - count + 1;
    if (n < kDefaultChars) n = kDefaultChars;
    *this = TarnString(n);
    char* dst = buf_->data_;
    std::memcpy(dst, old.c_str(), static_cast<size_t>(start));
    std::memcpy(dst + start, keep.c_str(), static_cast<size_t>(added));
    std::strcpy(dst + start + added, old.c_str() + start + count);
}

TarnString::SubString::operator TarnString() const { return TarnString(owner_->c_str() + start_, length_); }

const TarnString& TarnString::SubString::operator=(const TarnString& text) {
    owner_->replace(start_, length_, text);
    return text;
}

TarnString::ConstSubString::operator TarnString() const { return TarnString(owner_->c_str() + start_, length_); }

}  // namespace tarn
