#pragma once

namespace tarn {

/// Splits a text at every occurrence of one delimiter into owned tokens.
/// Every delimiter separates two tokens, so "a,,b" gives three and an empty
/// text gives one empty token. A plain value; any thread.
class Tokenizer {
public:
    /// A null text is the empty text; a zero delimiter gives one token.
    Tokenizer(const char* text, char delimiter);
    Tokenizer(const Tokenizer& other);
    Tokenizer& operator=(const Tokenizer& other);
    ~Tokenizer();

    /// Token i, or "no tokens" for an index outside 0..count-1.
    const char* getToken(int i) const;
    int getCount() const { return count_; }

private:
    void copyFrom(const Tokenizer& other);
    void freeTokens();

    int count_ = 0;
    char delimiter_;
    char** tokens_ = nullptr;  // owned: count_ owned arrays
};

}  // namespace tarn
