#include "tarn/QuorException.h"

#include <cstring>

namespace tarn {

namespace {

char* copyText(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t n = std::strlen(text) + 1;
    char* copy = new char[n];
    std::memcpy(copy, text, n);
    return copy;
}

}  // namespace

QuorException::QuorException(const char* message) : message_(copyText(message)) {}

QuorException::QuorException(int code, const char* message) : message_(copyText(message)), code_(code) {}

QuorException::QuorException(const QuorException& other) {
    if (other.message_ != nullptr) {
        message_ = copyText(other.message_);
        code_ = other.getCode();
    }
}

QuorException& QuorException::operator=(const QuorException& other) {
    if (this != &other) {
        char* copy = copyText(other.message_);  // may throw: change nothing before it
        delete[] message_;
        message_ = copy;
        code_ = other.code_;
    }
    return *this;
}

QuorException::~QuorException() { delete[] message_; }

const char* QuorException::getMessage() const { return message_ != nullptr ? message_ : "*VOID*"; }

int QuorException::getCode() const { return code_; }

}  // namespace tarn
