#pragma once

namespace tarn {

/// The library's one exception type: a message (or none) and an integer code.
/// Thrown and caught by value. Any thread.
class QuorException {
public:
    explicit QuorException(const char* message);
    QuorException(int code, const char* message);
    /// A copy of an exception without a message has no message and code 0.
    QuorException(const QuorException& other);
    /// Assignment copies deeply; the source keeps its own message.
    QuorException& operator=(const QuorException& other);
    virtual ~QuorException();

    /// The message, or "*VOID*" when there is none.
    virtual const char* getMessage() const;
    virtual int getCode() const;

private:
    char* message_ = nullptr;  // owned, may be null
    int code_ = 0;
};

}  // namespace tarn
