// TarnString's copies, edits, formatting and searches, driven by the input
// against a model: four strings, each a std::string shared by the copies
// that share its buffer. Edits (append, format, range replacement) give the
// edited string a text of its own; toLower and toUpper change the shared
// text for every sharer. After every operation each string must hold its
// model's text, with its model's number of sharers, and capacity beyond
// its length. Input text only ever reaches format through "%s".
//
// The input is a list of operations: one byte (operation and slots), then
// what the operation takes (a length byte and text, or a position byte).

#include "FuzzSupport.h"

#include "external/String.h"
#include "tarn/TarnString.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

constexpr int kSlots = 4;
constexpr size_t kMaxText = 1024;  // edits that would grow a text beyond this are skipped
constexpr int kMaxOps = 200;

struct Slot {
    tarn::TarnString s;
    std::shared_ptr<std::string> model = std::make_shared<std::string>();
};

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A position near the texts: -2 .. 253.
int position(fuzz::Reader& in) { return static_cast<int>(in.byte()) - 2; }

int modelFind(const std::string& text, const std::string& pattern, int start) {
    if (start < 0) start = 0;
    if (start > static_cast<int>(text.size())) return -1;
    const size_t at = text.find(pattern, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int modelFindNoCase(const std::string& text, const std::string& pattern, int start) {
    if (start < 0) start = 0;
    if (start >= static_cast<int>(text.size())) return -1;
    return modelFind(lower(text), lower(pattern), start);
}

void clip(int length, int& start, int& count) {
    start = std::clamp(start, 0, length);
    count = std::clamp(count, 0, length - start);
}

void checkSlots(const Slot* slots) {
    for (int i = 0; i < kSlots; ++i) {
        const Slot& x = slots[i];
        FUZZ_CHECK_EQ_STR(x.s.c_str(), *x.model);
        FUZZ_CHECK(x.s.length() == static_cast<int>(x.model->size()));
        FUZZ_CHECK(x.s.capacity() > x.s.length());
        FUZZ_CHECK_MSG(x.s.refCount() == x.model.use_count(), "slot " + std::to_string(i) + " shared by " +
                                                                  std::to_string(x.s.refCount()) + ", want " +
                                                                  std::to_string(x.model.use_count()));
    }
}

// The external String's searches and slices over the same text.
void checkString(const std::string& text, int n) {
    const String s(text.c_str());
    const size_t slash = text.rfind('/');
    FUZZ_CHECK(s.ReverseFind('/') == (slash == std::string::npos ? -1 : static_cast<int>(slash)));
    const int keep = std::clamp(n, 0, static_cast<int>(text.size()));
    FUZZ_CHECK_EQ_STR(s.Right(n).GetString(), text.substr(text.size() - static_cast<size_t>(keep)));
    const long v = std::strtol(text.c_str(), nullptr, 10);
    FUZZ_CHECK(s.ToInt() == (v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v)));
    String f;
    f.Format("[%s|%d]", s.GetString(), n);
    FUZZ_CHECK_EQ_STR(f.GetString(), "[" + text + "|" + std::to_string(n) + "]");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    Slot slots[kSlots];
    for (int op = 0; op < kMaxOps && !in.empty(); ++op) {
        const uint8_t c = in.byte();
        Slot& a = slots[c & 3];
        Slot& b = slots[(c >> 2) & 3];
        switch (c >> 4) {
            case 0: {                                           // a fresh text of at most n bytes
                const int n = static_cast<int>(in.byte()) - 1;  // -1: all of it
                const std::string text(in.bytes(in.byte()));
                a.s = tarn::TarnString(text.c_str(), n < 0 ? -1 : std::min(n, static_cast<int>(text.size())));
                const std::string stored = fuzz::cText(text);
                a.model = std::make_shared<std::string>(n < 0 ? stored : stored.substr(0, static_cast<size_t>(n)));
                break;
            }
            case 1:  // a copy shares the buffer
                a.s = b.s;
                a.model = b.model;
                break;
            case 2:  // append, itself included
                if (a.model->size() + b.model->size() > kMaxText) break;
                {
                    const std::string sum = *a.model + *b.model;
                    a.s.append(b.s);
                    a.model = std::make_shared<std::string>(sum);
                }
                break;
            case 3: {
                const int start = position(in);
                FUZZ_CHECK(a.s.find(b.s, start) == modelFind(*a.model, *b.model, start));
                FUZZ_CHECK(a.s.findNoCase(b.s, start) == modelFindNoCase(*a.model, *b.model, start));
                break;
            }
            case 4: {  // a range replaced by another string, or by itself
                int start = position(in);
                int count = position(in);
                if (a.model->size() + b.model->size() > kMaxText) break;
                const std::string with = *b.model;
                a.s.substring(start, count) = b.s;
                clip(static_cast<int>(a.model->size()), start, count);
                std::string edited = *a.model;
                edited.replace(static_cast<size_t>(start), static_cast<size_t>(count), with);
                a.model = std::make_shared<std::string>(edited);
                break;
            }
            case 5: {  // a range read out
                int start = position(in);
                int count = position(in);
                const tarn::TarnString part = std::as_const(a.s).substring(start, count);
                clip(static_cast<int>(a.model->size()), start, count);
                FUZZ_CHECK_EQ_STR(part.c_str(),
                                  a.model->substr(static_cast<size_t>(start), static_cast<size_t>(count)));
                break;
            }
            case 6: {  // formatting another string's text, or its own
                if (2 * b.model->size() + 32 > kMaxText) break;
                const int n = position(in);
                char head[32];
                std::snprintf(head, sizeof head, "%d<", n);
                const std::string want = head + *b.model + ">" + *b.model + "!";
                a.s.format("%d<%s>%s!", n, b.s.c_str(), b.s.c_str());
                a.model = std::make_shared<std::string>(want);
                break;
            }
            case 7: {  // width and precision taken from the input
                const int width = in.byte();
                const int precision = in.byte();
                char* want = nullptr;
                const int n = ::asprintf(&want, "%*.*s|", width, precision, b.model->c_str());
                FUZZ_CHECK(n >= 0);
                a.s.format("%*.*s|", width, precision, b.s.c_str());
                a.model = std::make_shared<std::string>(want);
                std::free(want);
                break;
            }
            case 8:  // the shared text changes for every sharer
                a.s.toLower();
                *a.model = lower(*a.model);
                break;
            case 9:
                a.s.toUpper();
                for (char& ch : *a.model) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                break;
            case 10:
                FUZZ_CHECK(sign(a.s.compare(b.s)) == sign(std::strcmp(a.model->c_str(), b.model->c_str())));
                FUZZ_CHECK(sign(a.s.compareNoCase(b.s)) == sign(::strcasecmp(a.model->c_str(), b.model->c_str())));
                FUZZ_CHECK((a.s == b.s) == (*a.model == *b.model));
                break;
            case 11:
                if (a.model->size() + b.model->size() > kMaxText) break;
                {
                    const tarn::TarnString sum = a.s + b.s;
                    FUZZ_CHECK_EQ_STR(sum.c_str(), *a.model + *b.model);
                    FUZZ_CHECK(sum.refCount() == 1);
                }
                break;
            case 12: checkString(*a.model, position(in)); break;
            default: {  // a single character; the zero byte is the empty text
                const char ch = static_cast<char>(in.byte());
                a.s = tarn::TarnString(ch);
                a.model = std::make_shared<std::string>(ch == '\0' ? std::string() : std::string(1, ch));
                break;
            }
        }
        checkSlots(slots);
    }
    return 0;
}
