#include "tarn/Tokenizer.h"

#include <cstring>

namespace tarn {

namespace {

char* copyRun(const char* from, size_t n) {
    char* token = new char[n + 1];
    std::memcpy(token, from, n);
    token[n] = '\0';
    return token;
}

}  // namespace

Tokenizer::Tokenizer(const char* text, char delimiter) : delimiter_(delimiter) {
    if (text == nullptr) text = "";
    int occurrences = 0;
    if (delimiter != '\0') {
        for (const char* p = text; *p != '\0'; ++p) occurrences += *p == delimiter ? 1 : 0;
    }
    tokens_ = new char*[static_cast<size_t>(occurrences) + 1]();
    try {
        const char* start = text;
        for (int i = 0; i <= occurrences; ++i) {
            const char* end = delimiter != '\0' ? std::strchr(start, delimiter) : nullptr;
            if (end == nullptr) end = start + std::strlen(start);
            tokens_[i] = copyRun(start, static_cast<size_t>(end - start));
            ++count_;
            start = *end != '\0' ? end + 1 : end;
        }
    } catch (...) {
        freeTokens();
        throw;
    }
}

Tokenizer::Tokenizer(const Tokenizer& other) : delimiter_(other.delimiter_) { copyFrom(other); }

Tokenizer& Tokenizer::operator=(const Tokenizer& other) {
    if (this != &other) {
        Tokenizer copy(other);  // allocate first, so a failure leaves this intact
        freeTokens();
        count_ = copy.count_;
        tokens_ = copy.tokens_;
        copy.count_ = 0;
        copy.tokens_ = nullptr;
    }
    return *this;
}

Tokenizer::~Tokenizer() { freeTokens(); }

void Tokenizer::copyFrom(const Tokenizer& other) {
    tokens_ = new char*[static_cast<size_t>(other.count_) + 1]();
    try {
        for (int i = 0; i < other.count_; ++i) {
            tokens_[i] = copyRun(other.tokens_[i], std::strlen(other.tokens_[i]));
            ++count_;
        }
    } catch (...) {
        freeTokens();
        throw;
    }
}

void Tokenizer::freeTokens() {
    for (int i = 0; i < count_; ++i) delete[] tokens_[i];
    delete[] tokens_;
    tokens_ = nullptr;
    count_ = 0;
}

const char* Tokenizer::getToken(int i) const { return i >= 0 && i < count_ ? tokens_[i] : "no tokens"; }

}  // namespace tarn
