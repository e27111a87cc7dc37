#include "platform/data/Filter.h"

#include <cctype>
#include <stdexcept>

namespace age::data {
namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument("filter \"" + std::string(text_) + "\": " + what + " at character " +
                                    std::to_string(pos_ + 1));
    }

    std::string identifier() {
        std::size_t start = pos_;
        auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
        if (atEnd() || !(std::isalpha(static_cast<unsigned char>(peek())) || peek() == '_'))
            fail("expected a field name");
        while (!atEnd() && isWordChar(peek())) ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }

    void keywordIn() {
        auto word = text_.substr(pos_, 2);
        bool isIn = word.size() == 2 && std::toupper(static_cast<unsigned char>(word[0])) == 'I' &&
                    std::toupper(static_cast<unsigned char>(word[1])) == 'N';
        if (!isIn) fail("expected IN after the field name");
        pos_ += 2;
        char next = peek();
        if (!atEnd() && next != '(' && !std::isspace(static_cast<unsigned char>(next)))
            fail("expected IN after the field name");
    }

    void expect(char c, const char* what) {
        if (peek() != c) fail(std::string("expected ") + what);
        ++pos_;
    }

    std::string quoted() {
        expect('\'', "a value in single quotes");
        std::string value;
        for (;;) {
            if (atEnd()) fail("unterminated value");
            char c = text_[pos_++];
            if (c != '\'') {
                value += c;
            } else if (peek() == '\'') {  // '' stands for one quote
                value += '\'';
                ++pos_;
            } else {
                return value;
            }
        }
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<InFilter> parseInFilter(std::string_view text) {
    Reader r(text);
    r.skipBlanks();
    if (r.atEnd()) return std::nullopt;
    InFilter filter;
    filter.field = r.identifier();
    r.skipBlanks();
    r.keywordIn();
    r.skipBlanks();
    r.expect('(', "'(' after IN");
    r.skipBlanks();
    if (r.peek() == ')') r.fail("empty value list");
    for (;;) {
        r.skipBlanks();
        filter.values.push_back(r.quoted());
        r.skipBlanks();
        if (r.peek() == ')') break;
        r.expect(',', "',' or ')' after a value");
    }
    r.expect(')', "')'");
    r.skipBlanks();
    if (!r.atEnd()) r.fail("unexpected text after ')'");
    return filter;
}

}  // namespace age::data
