#include "external/String.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

String::String(const char* text) {
    if (text != nullptr) text_ = text;
}

String::String(const char* data, int count) {
    if (data != nullptr && count > 0) text_.assign(data, static_cast<size_t>(count));
}

String& String::operator=(const char* text) {
    // `text` may point into text_ itself: assign() copes with that.
    if (text == nullptr) text_.clear();
    else text_.assign(text);
    return *this;
}

void String::Format(const char* fmt, ...) {
    if (fmt == nullptr) {
        text_.clear();
        return;
    }
    // Short results (every text the application formats) take one pass
    // through a stack buffer; longer ones a second pass at the exact size.
    char small[256];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    std::string fresh;
    if (needed > 0 && static_cast<size_t>(needed) < sizeof small) {
        fresh.assign(small, static_cast<size_t>(needed));
    } else if (needed > 0) {
        fresh.resize(static_cast<size_t>(needed));
        std::vsnprintf(fresh.data(), fresh.size() + 1, fmt, again);
    }
    va_end(again);
    // The arguments may have pointed into text_, so it is replaced only now.
    text_.swap(fresh);
}

String& String::operator+=(const char* text) {
    if (text != nullptr) text_.append(text);
    return *this;
}

String& String::operator+=(char c) {
    text_.push_back(c);
    return *this;
}

String& String::operator+=(const String& text) {
    text_.append(text.text_);
    return *this;
}

int String::Compare(const char* text) const { return std::strcmp(text_.c_str(), text != nullptr ? text : ""); }

int String::Length() const {
    return text_.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text_.size());
}

int TextToInt(const char* p) {
    if (p == nullptr) return 0;
    // The white space of the C locale, whatever the process's locale is.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    // Accumulate as a negative number so that INT_MIN is reachable.
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 - (*p - '0');
        if (value < INT_MIN) return negative ? INT_MIN : INT_MAX;
    }
    if (negative) return static_cast<int>(value);
    return value < -static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(-value);
}

int String::ToInt() const { return TextToInt(text_.c_str()); }

int String::ReverseFind(char c) const {
    const size_t pos = text_.rfind(c);
    return pos == std::string::npos || pos > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(pos);
}

String String::Right(int n) const {
    const int length = Length();
    if (n <= 0) return String();
    if (n > length) n = length;
    return String(text_.data() + (length - n), n);
}

// ---------------------------------------------------------------------------
// StringList: a singly linked list with a tail pointer. A POSITION is the
// address of a node.

struct StringList::Node {
    String value;
    Node* next = nullptr;
};

namespace {
POSITION ToPosition(void* node) { return reinterpret_cast<POSITION>(node); }
}  // namespace

StringList::StringList(const StringList& other) {
    for (const Node* n = other.head_; n != nullptr; n = n->next) AddTail(n->value);
}

StringList::StringList(StringList&& other) noexcept
    : head_(std::exchange(other.head_, nullptr)),
      tail_(std::exchange(other.tail_, nullptr)),
      count_(std::exchange(other.count_, 0)) {}

StringList& StringList::operator=(const StringList& other) {
    if (this != &other) {
        StringList copy(other);
        *this = std::move(copy);
    }
    return *this;
}

StringList& StringList::operator=(StringList&& other) noexcept {
    if (this != &other) {
        RemoveAll();
        head_ = std::exchange(other.head_, nullptr);
        tail_ = std::exchange(other.tail_, nullptr);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

StringList::~StringList() { RemoveAll(); }

POSITION StringList::AddTail(const String& value) {
    Node* node = new Node{value, nullptr};
    if (tail_ == nullptr) head_ = node;
    else tail_->next = node;
    tail_ = node;
    ++count_;
    return ToPosition(node);
}

POSITION StringList::GetHeadPosition() const { return ToPosition(head_); }

String& StringList::GetNext(POSITION& pos) {
    if (pos == nullptr) throw std::out_of_range("StringList::GetNext past the end");
    Node* node = reinterpret_cast<Node*>(pos);
    pos = ToPosition(node->next);
    return node->value;
}

const String& StringList::GetNext(POSITION& pos) const {
    if (pos == nullptr) throw std::out_of_range("StringList::GetNext past the end");
    const Node* node = reinterpret_cast<const Node*>(pos);
    pos = ToPosition(node->next);
    return node->value;
}

void StringList::RemoveAll() {
    // Iterative, so a long list cannot exhaust the stack.
    Node* node = head_;
    while (node != nullptr) {
        Node* next = node->next;
        delete node;
        node = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
}
