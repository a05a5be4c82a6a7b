#include "schemes/notation.h"

#include "dbf/codec.h"

#include <cctype>

namespace schemes {

PropValue PropValue::makeInt(int64_t v) {
    PropValue p;
    p.kind = Kind::Integer;
    p.integer = v;
    return p;
}
PropValue PropValue::makeIdent(std::string id) {
    PropValue p;
    p.kind = Kind::Ident;
    p.text = std::move(id);
    return p;
}
PropValue PropValue::makeSet(std::vector<std::string> members) {
    PropValue p;
    p.kind = Kind::Set;
    p.items = std::move(members);
    return p;
}
PropValue PropValue::makeString(std::string utf8) {
    PropValue p;
    p.kind = Kind::String;
    p.text = std::move(utf8);
    return p;
}
PropValue PropValue::makeBytes(std::vector<uint8_t> b) {
    PropValue p;
    p.kind = Kind::Bytes;
    p.bytes = std::move(b);
    return p;
}

bool PropValue::operator==(const PropValue& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
    case Kind::Integer:
        return integer == o.integer;
    case Kind::Ident:
        return dbf::codec::sameName(text, o.text);
    case Kind::Set: {
        if (items.size() != o.items.size()) return false;
        for (size_t i = 0; i < items.size(); ++i)
            if (!dbf::codec::sameName(items[i], o.items[i])) return false;
        return true;
    }
    case Kind::String:
        return text == o.text;
    case Kind::Bytes:
        return bytes == o.bytes;
    }
    return false;
}

namespace {

constexpr int kLineLength = 64;
constexpr int kBytesPerLine = 32;
const char* const kEol = "\r\n";

std::string indent(int level) {
    return std::string(size_t(level) * 2, ' ');
}

// UTF-8 into code points; a byte that does not start a valid sequence stands for U+FFFD.
std::u32string decodeUtf8(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        switch (dbf::codec::nextUtf8(s, i, cp)) {
        case dbf::codec::Utf8Step::Ok:
            out.push_back(cp);
            break;
        case dbf::codec::Utf8Step::Truncated:
            ++i; // each byte of a cut-off sequence stands alone
            [[fallthrough]];
        case dbf::codec::Utf8Step::Invalid:
            out.push_back(0xFFFD);
            break;
        }
    }
    return out;
}

using dbf::codec::appendUtf8;

bool quotable(char32_t c) {
    return c >= 32 && c <= 126 && c != '\'';
}

std::string writeString(const std::string& utf8, int level) {
    // Characters are counted and escaped as UTF-16 units, as the program's readers expect: a character beyond
    // U+FFFF is written as its surrogate pair.
    std::u32string s;
    for (char32_t c : decodeUtf8(utf8)) {
        if (c > 0xFFFF) {
            c -= 0x10000;
            s.push_back(0xD800 + (c >> 10));
            s.push_back(0xDC00 + (c & 0x3FF));
        } else {
            s.push_back(c);
        }
    }
    if (s.empty()) return "''";
    std::string out;
    const std::string contIndent = indent(level + 1);
    if (s.size() > size_t(kLineLength)) out += kEol + contIndent;
    size_t i = 0, lineStart = 0;
    const size_t n = s.size();
    while (i < n) {
        bool lineBreak = false;
        if (quotable(s[i])) {
            out.push_back('\'');
            do {
                out.push_back(char(s[i]));
                ++i;
            } while (i < n && quotable(s[i]) && i - lineStart < size_t(kLineLength));
            out.push_back('\'');
        } else {
            out += '#' + std::to_string(uint32_t(s[i]));
            ++i;
        }
        if (i - lineStart >= size_t(kLineLength)) lineBreak = true;
        if (lineBreak && i < n) {
            out += std::string(" +") + kEol + contIndent;
            lineStart = i;
        }
    }
    return out;
}

std::string writeBytes(const std::vector<uint8_t>& b, int level) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "{";
    const bool multiLine = b.size() >= size_t(kBytesPerLine);
    const std::string lineIndent = indent(level + 1);
    size_t pos = 0;
    do {
        if (multiLine) out += kEol + lineIndent;
        size_t count = std::min(b.size() - pos, size_t(kBytesPerLine));
        for (size_t k = 0; k < count; ++k) {
            out.push_back(hex[b[pos + k] >> 4]);
            out.push_back(hex[b[pos + k] & 15]);
        }
        pos += count;
    } while (pos < b.size());
    out += "}";
    return out;
}

void writeBlock(std::string& out, const ObjectBlock& b, int level) {
    out += indent(level) + "object " + b.name + ": " + b.className + kEol;
    for (const auto& p : b.properties)
        out += indent(level + 1) + p.path + " = " + writeValue(p.value, level + 1) + kEol;
    for (const auto& c : b.children)
        writeBlock(out, c, level + 1);
    out += indent(level) + "end" + kEol;
}

// ---- reader

class Reader {
public:
    explicit Reader(std::string_view t) : t_(t) {}

    ObjectBlock readRoot() {
        skipBlanks();
        ObjectBlock b = readBlock();
        skipBlanks();
        if (pos_ < t_.size()) fail("text after the end of the object");
        return b;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw NotationError("line " + std::to_string(line_) + ": " + what);
    }
    bool atEnd() const { return pos_ >= t_.size(); }
    char peek() const { return atEnd() ? '\0' : t_[pos_]; }
    void advance() {
        if (t_[pos_] == '\n') ++line_;
        ++pos_;
    }
    void skipBlanks() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n'))
            advance();
    }
    static bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
    static bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

    // An identifier; with dots = a dotted path ("Font.Height", "MainForm.DataSource2").
    std::string ident(bool dots) {
        skipBlanks();
        if (!identStart(peek())) fail("identifier expected");
        std::string s;
        while (!atEnd()) {
            if (identChar(peek())) {
                s.push_back(peek());
                advance();
            } else if (dots && peek() == '.' && pos_ + 1 < t_.size() && identStart(t_[pos_ + 1])) {
                s.push_back('.');
                advance();
            } else {
                break;
            }
        }
        return s;
    }
    void expect(char c) {
        skipBlanks();
        if (peek() != c) fail(std::string("'") + c + "' expected");
        advance();
    }

    ObjectBlock readBlock() {
        // a scheme nests two levels; a deep nest is a broken or hostile file, not a reason to exhaust the
        // stack
        if (++depth_ > kMaxDepth) fail("objects nested too deeply");
        std::string kw = ident(false);
        if (!dbf::codec::sameName(kw, "object")) fail("'object' expected");
        ObjectBlock b;
        b.name = ident(false);
        expect(':');
        b.className = ident(false);
        for (;;) {
            skipBlanks();
            if (atEnd()) fail("'end' expected");
            size_t save = pos_;
            int saveLine = line_;
            std::string word = ident(true);
            if (dbf::codec::sameName(word, "end")) {
                --depth_;
                return b;
            }
            if (dbf::codec::sameName(word, "object")) {
                pos_ = save;
                line_ = saveLine;
                b.children.push_back(readBlock());
                continue;
            }
            expect('=');
            b.properties.push_back({word, readValue()});
        }
    }

    PropValue readValue() {
        skipBlanks();
        char c = peek();
        if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c)) || c == '$')
            return readInteger();
        if (identStart(c)) return PropValue::makeIdent(ident(true));
        if (c == '[') return readSet();
        if (c == '\'' || c == '#') return readString();
        if (c == '{') return readBytes();
        if (atEnd()) fail("value expected");
        fail(std::string("unexpected character '") + c + "'");
    }

    // Decimal digits, or "$" and hexadecimal digits; a value beyond the limit of its base fails with
    // overflow. digits counts the digits read (0: none).
    uint64_t readDigits(uint64_t hexLimit, uint64_t decimalLimit, const char* overflow, bool& hex,
                        int& digits) {
        uint64_t v = 0;
        digits = 0;
        hex = peek() == '$';
        if (hex) advance();
        for (;;) {
            const unsigned char d = static_cast<unsigned char>(peek());
            if (hex ? !std::isxdigit(d) : !std::isdigit(d)) break;
            v = v * (hex ? 16 : 10) + uint64_t(std::isdigit(d) ? d - '0' : std::toupper(d) - 'A' + 10);
            if (v > (hex ? hexLimit : decimalLimit)) fail(overflow);
            ++digits;
            advance();
        }
        return v;
    }

    PropValue readInteger() {
        bool neg = false;
        if (peek() == '-' || peek() == '+') {
            neg = peek() == '-';
            advance();
        }
        bool hex = false;
        int digits = 0;
        uint64_t v = readDigits(0xFFFFFFFFull, 1ull << 40, "integer out of range", hex, digits);
        if (hex && v > 0x7FFFFFFF)
            v = uint64_t(int64_t(int32_t(uint32_t(v)))); // $FF000005 is a negative Integer
        if (digits == 0) fail("digits expected");
        if (peek() == '.' || peek() == 'e' || peek() == 'E') fail("a fractional number is not a value here");
        int64_t r = int64_t(v);
        return PropValue::makeInt(neg ? -r : r);
    }

    PropValue readSet() {
        advance(); // '['
        std::vector<std::string> items;
        skipBlanks();
        if (peek() == ']') {
            advance();
            return PropValue::makeSet(items);
        }
        for (;;) {
            items.push_back(ident(false));
            skipBlanks();
            if (peek() == ',') {
                advance();
                continue;
            }
            if (peek() == ']') {
                advance();
                return PropValue::makeSet(items);
            }
            fail("',' or ']' expected");
        }
    }

    // Segments: quoted runs and "#n" codes, adjacent or joined by "+" (blanks and line breaks around it).
    PropValue readString() {
        struct Piece {
            bool code;
            uint32_t value; // a raw byte of a quoted run, or the number of a "#n"
        };
        std::vector<Piece> pieces;
        bool wide = false;
        for (;;) {
            skipBlanks();
            char c = peek();
            if (c == '\'') {
                advance();
                for (;;) {
                    if (atEnd()) fail("unterminated string");
                    char d = peek();
                    if (d == '\r' || d == '\n') fail("line break inside a quoted string");
                    advance();
                    if (d == '\'') {
                        if (peek() == '\'') {
                            advance();
                            pieces.push_back({false, uint32_t('\'')});
                            continue;
                        }
                        break;
                    }
                    pieces.push_back({false, uint32_t(static_cast<unsigned char>(d))});
                }
            } else if (c == '#') {
                advance();
                bool hex = false;
                int digits = 0;
                const uint64_t v = readDigits(0x10FFFF, 0x10FFFF, "character code out of range", hex, digits);
                if (digits == 0) fail("digits expected after '#'");
                if (v >= 128) wide = true;
                pieces.push_back({true, uint32_t(v)});
            } else if (c == '+') {
                advance();
                skipBlanks();
                if (peek() != '\'' && peek() != '#') fail("string expected after '+'");
                continue;
            } else {
                break;
            }
        }
        std::string out;
        if (wide) {
            // code points throughout; a raw byte of 128 or more in a quoted run is a Windows-1251 character
            for (size_t i = 0; i < pieces.size(); ++i) {
                const Piece& p = pieces[i];
                if (!p.code && p.value >= 128) {
                    out += dbf::codec::fromCp1251(std::string(1, char(p.value)));
                } else if (p.code && p.value >= 0xD800 && p.value <= 0xDBFF && i + 1 < pieces.size() &&
                           pieces[i + 1].code && pieces[i + 1].value >= 0xDC00 &&
                           pieces[i + 1].value <= 0xDFFF) {
                    // a surrogate pair of UTF-16 units
                    appendUtf8(out, 0x10000 + ((p.value - 0xD800) << 10) + (pieces[i + 1].value - 0xDC00));
                    ++i;
                } else if (p.value >= 0xD800 && p.value <= 0xDFFF) {
                    appendUtf8(out, 0xFFFD); // a lone surrogate
                } else {
                    appendUtf8(out, p.value);
                }
            }
        } else {
            std::string bytes;
            for (const auto& p : pieces)
                bytes.push_back(char(p.value));
            out = dbf::codec::fromCp1251(bytes);
        }
        return PropValue::makeString(std::move(out));
    }

    PropValue readBytes() {
        advance(); // '{'
        std::vector<uint8_t> out;
        int half = -1;
        for (;;) {
            if (atEnd()) fail("'}' expected");
            char c = peek();
            advance();
            if (c == '}') break;
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) fail("hexadecimal digit expected");
            int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
            if (half < 0) {
                half = v;
            } else {
                out.push_back(uint8_t(half * 16 + v));
                half = -1;
            }
        }
        if (half >= 0) fail("odd number of hexadecimal digits");
        return PropValue::makeBytes(std::move(out));
    }

    static constexpr int kMaxDepth = 32;
    std::string_view t_;
    size_t pos_ = 0;
    int line_ = 1;
    int depth_ = 0;
};

} // namespace

std::string writeValue(const PropValue& v, int level) {
    switch (v.kind) {
    case PropValue::Kind::Integer:
        return std::to_string(v.integer);
    case PropValue::Kind::Ident:
        return v.text;
    case PropValue::Kind::Set: {
        std::string s = "[";
        for (size_t i = 0; i < v.items.size(); ++i)
            s += (i ? ", " : "") + v.items[i];
        return s + "]";
    }
    case PropValue::Kind::String:
        return writeString(v.text, level);
    case PropValue::Kind::Bytes:
        return writeBytes(v.bytes, level);
    }
    return {};
}

std::string writeObjectText(const ObjectBlock& root) {
    std::string out;
    writeBlock(out, root, 0);
    return out;
}

ObjectBlock readObjectText(std::string_view text) {
    return Reader(text).readRoot();
}

} // namespace schemes
