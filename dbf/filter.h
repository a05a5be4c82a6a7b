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

// Parses "A=1 AND B='x*' AND C >='2'". Throws Error on a malformed expression.
std::vector<Condition> parseConditions(const std::string& expression);

} // namespace dbf
