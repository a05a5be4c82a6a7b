// Filter expressions and SQL conditions: field comparisons joined by AND.
#pragma once

#include "dbf/types.h"

#include <functional>
#include <string>
#include <vector>

namespace dbf {

struct Condition {
    enum class Op { Eq, Ne, Lt, Gt, Le, Ge };
    std::string field;
    Op op = Op::Eq;
    std::string literal; // UTF-8 text of the value, quotes removed
    bool quoted = false;
    bool prefix = false; // 'text*': begins with text
};

// Parses "A=1 AND B='x*' AND C >='2'". Inside a quoted literal a doubled quote stands for one quote and "**"
// for one star; a single star just before the closing quote means "begins with". Throws Error on a malformed
// expression.
std::vector<Condition> parseConditions(const std::string& expression);

enum class LiteralMatch { Whole, BeginsWith };
// text as a quoted literal of a filter: in single quotes, with quotes and stars doubled, and for BeginsWith
// the star of "begins with" after it. Any text, blanks at either end included, compares as it is written.
std::string quoteLiteral(const std::string& text, LiteralMatch match = LiteralMatch::Whole);

// The condition "field equals text" (or "begins with text") for a field of that type, as a search of what an
// operator typed needs it: a text field compares the text as written; a field of another type compares the
// value the text reads as (begins-with means equals there), and a text that reads as no value of the type
// gives a condition that no row meets, not an error.
std::string matchCondition(const std::string& field, FieldType type, const std::string& text,
                           LiteralMatch match = LiteralMatch::Whole);

} // namespace dbf
