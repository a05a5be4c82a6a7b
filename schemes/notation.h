// The object-tree text notation of the scheme files (".MNS"): an object block per component with its
// property lines and nested blocks. The writer produces the one exact layout the program stores (two blanks
// per level, strings in quoted and "#n" segments split every 64 characters, byte blocks in 32-byte lines,
// CR LF line ends); the reader accepts that layout and any other spacing of the same tokens.
// No window code here: the scheme model and the tests use it as plain text processing.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace schemes {

// A malformed text: the message names the line.
class NotationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PropValue {
    enum class Kind { Integer, Ident, Set, String, Bytes };
    Kind kind = Kind::Integer;
    int64_t integer = 0;
    std::string text;               // Ident: the identifier (may hold dots: "MainForm.DataSource2");
                                    // String: the text as UTF-8
    std::vector<std::string> items; // Set: the members
    std::vector<uint8_t> bytes;     // Bytes

    static PropValue makeInt(int64_t v);
    static PropValue makeIdent(std::string id);
    static PropValue makeSet(std::vector<std::string> members);
    static PropValue makeString(std::string utf8);
    static PropValue makeBytes(std::vector<uint8_t> b);
    bool operator==(const PropValue& o) const;
};

struct Property {
    std::string path; // "Left", "Font.Height", "Picture.Data"
    PropValue value;
};

struct ObjectBlock {
    std::string name;
    std::string className;
    std::vector<Property> properties; // in the order they are to be written / were read
    std::vector<ObjectBlock> children;
};

// The text of one object block (and its nested blocks) with CR LF line ends, the last line "end" + CR LF.
// The scheme file adds one more CR LF after it.
std::string writeObjectText(const ObjectBlock& root);
// One property value as the writer puts it after " = ", for a property line at the given nesting level
// (strings longer than 64 characters and byte blocks of 32 bytes or more continue on further lines).
std::string writeValue(const PropValue& v, int level);

// Reads one object block; blanks and line breaks may stand anywhere between tokens, and only blanks and
// line breaks may follow the block. Throws NotationError.
ObjectBlock readObjectText(std::string_view text);

} // namespace schemes
