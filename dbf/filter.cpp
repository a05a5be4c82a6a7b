#include "dbf/filter.h"

#include "dbf/codec.h"
#include "dbf/detail/format.h"

#include <algorithm>

namespace dbf {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool isNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

[[noreturn]] void fail(const std::string& expr, const std::string& why) {
    throw Error("Ошибка в выражении фильтра \"" + expr + "\": " + why);
}

} // namespace

std::vector<Condition> parseConditions(const std::string& e) {
    std::vector<Condition> out;
    size_t i = 0;
    auto skip = [&] {
        while (i < e.size() && isSpace(e[i]))
            ++i;
    };
    skip();
    if (i == e.size()) return out;
    for (;;) {
        Condition c;
        skip();
        size_t start = i;
        while (i < e.size() && isNameChar(e[i]))
            ++i;
        if (i == start) fail(e, "ожидается имя поля");
        c.field = e.substr(start, i - start);
        skip();
        if (i >= e.size()) fail(e, "ожидается знак сравнения");
        auto two = e.substr(i, 2);
        if (two == "<>" || two == "!=") {
            c.op = Condition::Op::Ne;
            i += 2;
        } else if (two == "<=") {
            c.op = Condition::Op::Le;
            i += 2;
        } else if (two == ">=") {
            c.op = Condition::Op::Ge;
            i += 2;
        } else if (e[i] == '=') {
            c.op = Condition::Op::Eq;
            ++i;
        } else if (e[i] == '<') {
            c.op = Condition::Op::Lt;
            ++i;
        } else if (e[i] == '>') {
            c.op = Condition::Op::Gt;
            ++i;
        } else {
            fail(e, "ожидается знак сравнения");
        }
        skip();
        if (i >= e.size()) fail(e, "ожидается значение");
        if (e[i] == '\'' || e[i] == '"') {
            // a doubled quote is one quote; "**" is one star; a single star at the end means "begins with"
            char q = e[i++];
            c.quoted = true;
            for (;;) {
                if (i >= e.size()) fail(e, "незакрытая кавычка");
                if (e[i] == q) {
                    if (i + 1 < e.size() && e[i + 1] == q) {
                        c.literal += q;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                if (e[i] == '*') {
                    if (i + 1 < e.size() && e[i + 1] == '*') {
                        c.literal += '*';
                        i += 2;
                        continue;
                    }
                    if (i + 1 < e.size() && e[i + 1] == q && (i + 2 >= e.size() || e[i + 2] != q)) {
                        c.prefix = true;
                        ++i;
                        continue;
                    }
                }
                c.literal += e[i++];
            }
        } else {
            start = i;
            while (i < e.size() && !isSpace(e[i]))
                ++i;
            c.literal = e.substr(start, i - start);
        }
        if (c.prefix && c.op != Condition::Op::Eq && c.op != Condition::Op::Ne)
            fail(e, "шаблон '*' допустим только со знаком =");
        out.push_back(std::move(c));
        skip();
        if (i == e.size()) break;
        if (i + 3 <= e.size() && codec::sameName(e.substr(i, 3), "AND") &&
            (i + 3 == e.size() || isSpace(e[i + 3]))) {
            i += 3;
            continue;
        }
        fail(e, "ожидается AND");
    }
    return out;
}

std::string quoteLiteral(const std::string& text, LiteralMatch match) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\'' || ch == '*') out += ch;
        out += ch;
    }
    if (match == LiteralMatch::BeginsWith) out += '*';
    return out + "'";
}

std::string matchCondition(const std::string& field, FieldType type, const std::string& text,
                           LiteralMatch match) {
    if (type == FieldType::Char) return field + "=" + quoteLiteral(text, match);
    // an empty text finds the empty values, as an empty literal does
    if (detail::trimRight(text).empty()) return field + "=''";
    const char* why = "";
    // the filter takes no tab or line break as part of a number or a date
    bool reads = detail::parseAs(type, text, why).has_value() &&
                 std::none_of(text.begin(), text.end(), [](char ch) { return uint8_t(ch) < 0x20; });
    if (reads) return field + "=" + quoteLiteral(text);
    // no value is both below and above one value of the type
    const char* some = "0";
    if (type == FieldType::Date || type == FieldType::DateTime) some = "'01.01.2000'";
    if (type == FieldType::Boolean) some = "'T'";
    return field + "<" + some + " AND " + field + ">" + some;
}

} // namespace dbf
