// The local SQL of the report program: "select * from FILE [where COND]" and "delete from FILE [where COND]".
#include "dbf/codec.h"
#include "dbf/detail/table_impl.h"

namespace dbf {

using namespace codec;

namespace {

// Splits "select * from FILE where COND" / "delete from FILE where COND".
struct Statement {
    bool isDelete = false;
    std::string file;
    std::string where;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Blanks, tabs and line breaks separate the words; the condition after WHERE is handed over as written, so
// that a quoted literal keeps every byte it has.
Statement parseStatement(const std::string& s) {
    size_t i = 0;
    auto skip = [&] {
        while (i < s.size() && isBlank(s[i]))
            ++i;
    };
    auto word = [&]() {
        skip();
        size_t b = i;
        while (i < s.size() && !isBlank(s[i]))
            ++i;
        return s.substr(b, i - b);
    };
    auto fail = [&]() -> Statement { throw Error("Неподдерживаемый запрос: " + s); };
    Statement st;
    std::string w = word();
    if (sameName(w, "SELECT")) {
        if (word() != "*") return fail();
    } else if (sameName(w, "DELETE")) {
        st.isDelete = true;
    } else {
        return fail();
    }
    if (!sameName(word(), "FROM")) return fail();
    skip();
    if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
        char q = s[i++];
        size_t b = i;
        while (i < s.size() && s[i] != q)
            ++i;
        if (i >= s.size()) return fail();
        st.file = s.substr(b, i - b);
        ++i;
    } else {
        st.file = word();
    }
    if (st.file.empty()) return fail();
    skip();
    if (i < s.size()) {
        std::string kw = word();
        if (!sameName(kw, "WHERE")) return fail();
        st.where = s.substr(i);
    }
    return st;
}

} // namespace

int Database::execSql(const std::string& statement) const {
    Statement st = parseStatement(statement);
    std::string dir = dir_;
    std::string file = st.file;
    if (auto slash = file.rfind('/'); slash != std::string::npos) {
        dir = file[0] == '/' ? file.substr(0, slash) : joinPath(dir_, file.substr(0, slash));
        file = file.substr(slash + 1);
    }
    Table t;
    t.open(dir, file);
    Table::Impl& m = *t.d;
    std::vector<detail::Cond> conds = m.compile(st.where);
    auto matches = [&](uint32_t r) {
        if (m.rows.deleted(r)) return false;
        for (const detail::Cond& c : conds)
            if (!m.evalCond(c, m.rows.row(r))) return false;
        return true;
    };
    if (!st.isDelete) {
        int n = 0;
        for (uint32_t r = 0; r < m.rows.count; ++r)
            if (matches(r)) ++n;
        return n;
    }
    detail::Storage::Lock lock(m.file, true);
    m.syncLocked();
    std::vector<uint32_t> rows;
    for (uint32_t r = 0; r < m.rows.count; ++r)
        if (matches(r)) rows.push_back(r);
    m.markDeleted(rows);
    return int(rows.size());
}

} // namespace dbf
