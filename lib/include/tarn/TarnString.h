#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

namespace tarn {

/// Single-byte, zero-terminated string whose copies share one reference-counted
/// buffer until one of them changes (append, format, range replacement).
///
///   TarnString a ──┐
///   TarnString b ──┼──> StringBuffer { refs = 3 | data ─> "text\0....." | capacity }
///   TarnString c ──┘                                     <── capacity ──>
///
/// Only the reference count is thread-safe: copies may be made and destroyed on
/// different threads, every other operation on strings that share a buffer must
/// stay on one thread at a time. Element access, toLower and toUpper change the
/// shared buffer in place, so every sharer sees the change.
class TarnString {
public:
    /// Heap buffer shared by copies. Owns its character array.
    class StringBuffer {
    public:
        /// An empty text with room for n characters (capacity n + 1).
        explicit StringBuffer(int n);
        /// An exact copy of text (capacity strlen + 1).
        explicit StringBuffer(const char* text);
        StringBuffer(const StringBuffer&) = delete;
        StringBuffer& operator=(const StringBuffer&) = delete;
        virtual ~StringBuffer();

        void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
        /// Drops one reference; deletes the buffer when it was the last.
        void release();
        int refCount() const { return refs_.load(std::memory_order_acquire); }
        /// Reallocates for n characters (n = 0: twice the capacity), keeping the text.
        void grow(int n);

        char* data() { return data_; }
        const char* data() const { return data_; }
        int capacity() const { return capacity_; }

    private:
        friend class TarnString;
        std::atomic<int32_t> refs_{1};
        char* data_;
        int32_t capacity_;
    };

    /// A range of a string, alive for one statement. Assigning to it replaces
    /// the range in the owner with a new buffer; other sharers keep the old text.
    class SubString {
    public:
        SubString(TarnString* owner, int start, int length) : owner_(owner), start_(start), length_(length) {}
        operator TarnString() const;
        const TarnString& operator=(const TarnString& text);

    private:
        TarnString* owner_;
        int start_;
        int length_;
    };

    /// The read-only form of SubString: only converts to a new string.
    class ConstSubString {
    public:
        ConstSubString(const TarnString* owner, int start, int length)
            : owner_(owner), start_(start), length_(length) {}
        operator TarnString() const;

    private:
        const TarnString* owner_;
        int start_;
        int length_;
    };

    /// Empty, with room for 32 characters.
    TarnString();
    /// One character (empty for the zero byte), room for 32 characters.
    explicit TarnString(char c);
    /// Empty, with room for n characters.
    explicit TarnString(int n);
    /// At most length bytes of text (-1: all of it), stopping at a zero byte;
    /// room for length characters. A null text is the empty text.
    TarnString(const char* text, int length = -1);
    TarnString(const TarnString& other);
    TarnString& operator=(const TarnString& other);
    virtual ~TarnString();

    TarnString& append(const TarnString& other);

    int length() const;
    int capacity() const { return buf_->capacity(); }
    /// How many strings share this one's buffer.
    int refCount() const { return buf_->refCount(); }
    const char* c_str() const { return buf_->data(); }
    operator const char*() const { return buf_->data(); }

    /// Character i of the (possibly shared) buffer; no bounds check.
    char& operator[](int i) { return buf_->data()[i]; }
    const char& operator[](int i) const { return buf_->data()[i]; }

    /// The sign of the byte-wise comparison, as strcmp gives it.
    virtual int compare(const TarnString& other) const;
    int compareNoCase(const TarnString& other) const;
    /// First occurrence of pattern at or after start, or -1 (also for a start
    /// beyond the text). An empty pattern is found at start.
    virtual int find(const TarnString& pattern, int start = 0) const;
    /// As find, ignoring letter case; -1 whenever the text from start is empty.
    int findNoCase(const TarnString& pattern, int start = 0) const;

    const char* toLower();
    const char* toUpper();

    /// Replaces the text with printf-style output; the capacity only grows.
    /// Throws std::bad_alloc for output that can never fit (over 256 MiB or an
    /// output error). The arguments may point into this string's own text.
    const char* format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    const char* vformat(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

    /// The range [start, start + length), clipped to the text.
    SubString substring(int start, int length);
    ConstSubString substring(int start, int length) const;

private:
    void makePrivate();
    void replace(int start, int length, const TarnString& text);
    static void clip(int textLength, int& start, int& length);

    StringBuffer* buf_;  // never null; one reference held
};

TarnString operator+(const TarnString& a, const TarnString& b);

inline bool operator==(const TarnString& a, const TarnString& b) { return a.compare(b) == 0; }
inline bool operator!=(const TarnString& a, const TarnString& b) { return a.compare(b) != 0; }
inline bool operator<(const TarnString& a, const TarnString& b) { return a.compare(b) < 0; }
inline bool operator>(const TarnString& a, const TarnString& b) { return a.compare(b) > 0; }
// Without these, comparing with a literal would be ambiguous with the
// built-in pointer comparison through the const char* conversion.
inline bool operator==(const TarnString& a, const char* b) { return a.compare(TarnString(b)) == 0; }
inline bool operator!=(const TarnString& a, const char* b) { return a.compare(TarnString(b)) != 0; }

}  // namespace tarn
