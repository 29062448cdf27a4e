// String and StringList: the string library the application imports.
// This is a public header; it includes only standard headers.
//
// Both are plain values with no shared state: one object is used by one thread
// at a time, and copies are independent.
#pragma once

#include <string>

// An opaque place in a StringList; null means "none" (before the head of an
// empty list, or after the last element).
struct StringListPosition;
using POSITION = StringListPosition*;

// The decimal value of a C string like atoi: leading white space, an
// optional sign, then digits; 0 when there are none or text is null; clamped
// to the int range on overflow.
int TextToInt(const char* text);

class String {
public:
    String() = default;
    String(const char* text);             // implicit: callers pass literals
    String(const char* data, int count);  // a payload without a terminator
    String(const String&) = default;
    String(String&&) noexcept = default;
    String& operator=(const String&) = default;
    String& operator=(String&&) noexcept = default;
    String& operator=(const char* text);
    ~String() = default;

    // printf-style; replaces the content. The arguments may point into this
    // string's own text: the result is built in a fresh buffer first.
    void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Appends text (a null text appends nothing).
    String& operator+=(const char* text);
    String& operator+=(char c);
    String& operator+=(const String& text);

    // 0 when the texts are equal, otherwise the sign of the first difference
    // (bytes compared as unsigned). A null text compares as the empty text.
    int Compare(const char* text) const;

    // Length in bytes: the count sent on the wire.
    int Length() const;
    bool IsEmpty() const { return text_.empty(); }

    // Decimal value of the text like atoi: leading white space, an optional
    // sign, then digits; 0 when there are none; clamped to the int range on
    // overflow; never throws.
    int ToInt() const;

    // Zero-based position of the last occurrence of c, or -1.
    int ReverseFind(char c) const;

    // The last n characters; n is clamped to 0..Length().
    String Right(int n) const;

    // The text, always NUL-terminated, valid until this string next changes.
    const char* GetString() const { return text_.c_str(); }
    operator const char*() const { return text_.c_str(); }

    // Exact byte equality; defined so that comparing two Strings never falls
    // back to comparing pointers through the conversion above.
    friend bool operator==(const String& a, const String& b) { return a.text_ == b.text_; }
    friend bool operator==(const String& a, const char* b) { return a.Compare(b) == 0; }

private:
    std::string text_;
};

// An ordered list of String. GetNext advances a position, which becomes null
// after the last element:
//
//   for (POSITION pos = list.GetHeadPosition(); pos != nullptr;)
//       use(list.GetNext(pos));
//
// A position stays valid until the list is emptied or destroyed.
class StringList {
public:
    StringList() = default;
    StringList(const StringList& other);
    StringList(StringList&& other) noexcept;
    StringList& operator=(const StringList& other);
    StringList& operator=(StringList&& other) noexcept;
    ~StringList();

    POSITION AddTail(const String& value);
    POSITION GetHeadPosition() const;
    // Returns the element at pos and advances pos; pos must not be null
    // (std::out_of_range otherwise).
    String& GetNext(POSITION& pos);
    const String& GetNext(POSITION& pos) const;

    int GetCount() const { return count_; }
    bool IsEmpty() const { return count_ == 0; }
    void RemoveAll();

private:
    struct Node;
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    int count_ = 0;
};
