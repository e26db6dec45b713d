#include "Schema_p.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace sqlcarve {

namespace {

struct Token {
    enum Kind { Word, Quoted, Punct, End } kind = End;
    std::string text; // Word upper-cased in `upper`, Quoted without its quotes
    std::string upper;
};

class Lexer
{
public:
    explicit Lexer(const std::string& s) : m_s(s) {}

    Token next()
    {
        skipSpaceAndComments();
        Token t;
        if (m_i >= m_s.size())
            return t;
        const char c = m_s[m_i];
        if (c == '"' || c == '\'' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : c;
            std::string text;
            ++m_i;
            while (m_i < m_s.size()) {
                if (m_s[m_i] == close) {
                    if (close != ']' && m_i + 1 < m_s.size() && m_s[m_i + 1] == close) {
                        text += close;
                        m_i += 2;
                        continue;
                    }
                    ++m_i;
                    break;
                }
                text += m_s[m_i++];
            }
            t.kind = Token::Quoted;
            t.text = text;
            t.upper = upper(text);
            return t;
        }
        if (std::isalnum(uint8_t(c)) || c == '_' || c == '$' || uint8_t(c) >= 0x80 || c == '.' || c == '+' || c == '-') {
            const size_t start = m_i;
            while (m_i < m_s.size()
                   && (std::isalnum(uint8_t(m_s[m_i])) || m_s[m_i] == '_' || m_s[m_i] == '$' || uint8_t(m_s[m_i]) >= 0x80
                       || m_s[m_i] == '.' || ((m_s[m_i] == '+' || m_s[m_i] == '-') && m_i == start)))
                ++m_i;
            t.kind = Token::Word;
            t.text = m_s.substr(start, m_i - start);
            t.upper = upper(t.text);
            return t;
        }
        t.kind = Token::Punct;
        t.text = std::string(1, c);
        t.upper = t.text;
        ++m_i;
        return t;
    }

private:
    static std::string upper(std::string s)
    {
        for (char& c : s)
            c = char(std::toupper(uint8_t(c)));
        return s;
    }
    void skipSpaceAndComments()
    {
        while (m_i < m_s.size()) {
            if (std::isspace(uint8_t(m_s[m_i]))) {
                ++m_i;
            } else if (m_s.compare(m_i, 2, "--") == 0) {
                while (m_i < m_s.size() && m_s[m_i] != '\n')
                    ++m_i;
            } else if (m_s.compare(m_i, 2, "/*") == 0) {
                const size_t e = m_s.find("*/", m_i + 2);
                m_i = e == std::string::npos ? m_s.size() : e + 2;
            } else {
                break;
            }
        }
    }
    const std::string& m_s;
    size_t m_i = 0;
};

bool isConstraintStart(const std::string& u)
{
    static const char* const kWords[] = {"CONSTRAINT", "PRIMARY", "NOT", "NULL", "UNIQUE", "CHECK", "DEFAULT",
                                         "COLLATE", "REFERENCES", "GENERATED", "AS"};
    return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return u == w; });
}

bool isTableConstraint(const std::string& u)
{
    return u == "CONSTRAINT" || u == "PRIMARY" || u == "UNIQUE" || u == "CHECK" || u == "FOREIGN";
}

bool iequals(const std::string& a, const std::string& b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::toupper(uint8_t(x)) == std::toupper(uint8_t(y)); });
}

// One column or table-constraint definition, split at top-level commas.
using Def = std::vector<Token>;

// A text that reads as a number, as SQLite reads it: an integer when it has no fraction or
// exponent and fits, otherwise a real. from_chars, not strtod: the reading must not follow the
// user's locale.
bool readNumber(std::string text, Value* out)
{
    while (!text.empty() && std::isspace(uint8_t(text.back())))
        text.pop_back();
    size_t at = 0;
    while (at < text.size() && std::isspace(uint8_t(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    if (at >= text.size() || !(std::isdigit(uint8_t(text[at])) || text[at] == '.'))
        return false;
    const char* b = text.data() + at;
    const char* e = text.data() + text.size();
    if (text.find_first_of(".eE", at) == std::string::npos) {
        uint64_t u = 0;
        const auto r = std::from_chars(b, e, u);
        if (r.ec == std::errc() && r.ptr == e && u <= (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX))) {
            out->kind = Value::Kind::Integer;
            out->integer = int64_t(negative ? 0 - u : u);
            return true;
        }
    }
    double d = 0;
    const auto r = std::from_chars(b, e, d);
    if (r.ec != std::errc() || r.ptr != e)
        return false;
    out->kind = Value::Kind::Real;
    out->real = negative ? -d : d;
    return true;
}

// A value as a column of that affinity holds it (SQLite's conversions on storing it).
void applyAffinity(Affinity aff, Value& v)
{
    using K = Value::Kind;
    if (aff == Affinity::Blob)
        return;
    if (aff == Affinity::Text) {
        if (v.kind == K::Integer) {
            v.bytes = std::to_string(v.integer);
            v.kind = K::Text;
        }
        return;
    }
    if (v.kind == K::Text && readNumber(v.bytes, &v))
        v.bytes.clear();
    if (v.kind == K::Real && aff != Affinity::Real && v.real > -9.2233720368547758e18 && v.real < 9.2233720368547758e18
        && v.real == double(int64_t(v.real))) {
        v.integer = int64_t(v.real);
        v.kind = K::Integer;
    } else if (v.kind == K::Integer && aff == Affinity::Real) {
        v.real = double(v.integer);
        v.kind = K::Real;
    }
}

// A literal SQLite's parser keeps as a 32-bit integer: decimal, or up to eight hexadecimal digits.
bool int32Literal(const std::string& t, int64_t* out)
{
    const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    if (t.empty() || (hex && t.size() > 10))
        return false;
    uint64_t u = 0;
    const auto r = std::from_chars(t.data() + (hex ? 2 : 0), t.data() + t.size(), u, hex ? 16 : 10);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || u > uint64_t(INT32_MAX))
        return false;
    *out = int64_t(u);
    return true;
}

// What SQLite reads for a column from a record that predates it: the DEFAULT clause starting at
// d[i] (past the word), as SQLite evaluates it there. A number it keeps as written unless it is
// a small integer, then lets the affinity convert (a typeless column's as a numeric one's).
// `constant`: whether ALTER TABLE could have added a column with it (it refuses a time of day or
// a function call). Lost for an expression not read here.
Value readDefault(const Def& d, size_t i, Affinity aff, bool* constant)
{
    Value v;
    v.kind = Value::Kind::Lost;
    *constant = true;
    size_t end = i;
    for (int depth = 0; end < d.size(); ++end) {
        if (d[end].text == "(")
            ++depth;
        else if (d[end].text == ")")
            --depth;
        else if (depth == 0 && end > i && d[end].kind == Token::Word && isConstraintStart(d[end].upper))
            break;
    }
    while (end - i >= 3 && d[i].text == "(" && d[end - 1].text == ")") {
        ++i;
        --end;
    }
    for (size_t k = i; k + 1 < end; ++k)
        if (d[k].kind == Token::Word && d[k + 1].text == "(")
            *constant = false;
    std::string sign;
    if (end - i == 2 && d[i].kind == Token::Word && (d[i].text == "-" || d[i].text == "+"))
        sign = d[i++].text;
    if (end - i == 2 && sign.empty() && d[i].upper == "X" && d[i + 1].kind == Token::Quoted && d[i + 1].text.size() % 2 == 0) {
        const std::string& hex = d[i + 1].text;
        for (size_t k = 0; k < hex.size(); k += 2) {
            uint8_t b = 0;
            if (std::from_chars(hex.data() + k, hex.data() + k + 2, b, 16).ptr != hex.data() + k + 2)
                return v;
            v.bytes += char(b);
        }
        v.kind = Value::Kind::Blob;
        return v;
    }
    if (end - i != 1)
        return v;
    const Token& t = d[i];
    if (t.kind == Token::Quoted) {
        if (!sign.empty())
            return v;
        v.kind = Value::Kind::Text;
        v.bytes = t.text;
    } else if (t.upper == "NULL" && sign.empty()) {
        v.kind = Value::Kind::Null;
        return v;
    } else if ((t.upper == "TRUE" || t.upper == "FALSE") && sign.empty()) {
        v.kind = Value::Kind::Integer;
        v.integer = t.upper == "TRUE";
    } else if (t.upper.rfind("CURRENT_", 0) == 0) {
        *constant = false;
        return v;
    } else {
        std::string number = t.text;
        if (!number.empty() && (number[0] == '-' || number[0] == '+')) {
            if (!sign.empty())
                return v;
            sign = number.substr(0, 1);
            number.erase(0, 1);
        }
        if (sign == "+")
            sign.clear();
        Value probe;
        if (int32Literal(number, &v.integer)) {
            v.kind = Value::Kind::Integer;
            if (!sign.empty())
                v.integer = -v.integer;
        } else if (readNumber(number, &probe)) {
            v.kind = Value::Kind::Text;
            v.bytes = sign + number;
            if (aff == Affinity::Blob)
                aff = Affinity::Numeric;
        } else {
            return v;
        }
    }
    applyAffinity(aff, v);
    return v;
}

} // namespace

Affinity affinityOf(const std::string& declaredType)
{
    std::string u;
    for (char c : declaredType)
        u += char(std::toupper(uint8_t(c)));
    if (u.find("INT") != std::string::npos)
        return Affinity::Integer;
    if (u.find("CHAR") != std::string::npos || u.find("CLOB") != std::string::npos || u.find("TEXT") != std::string::npos)
        return Affinity::Text;
    if (u.empty() || u.find("BLOB") != std::string::npos)
        return Affinity::Blob;
    if (u.find("REAL") != std::string::npos || u.find("FLOA") != std::string::npos || u.find("DOUB") != std::string::npos)
        return Affinity::Real;
    return Affinity::Numeric;
}

bool parseCreateTable(const std::string& sql, TableLayout* out)
{
    Lexer lex(sql);
    Token t = lex.next();
    if (t.upper != "CREATE")
        return false;
    t = lex.next();
    if (t.upper == "TEMP" || t.upper == "TEMPORARY")
        t = lex.next();
    if (t.upper != "TABLE")
        return false;
    t = lex.next();
    if (t.upper == "IF") {
        lex.next();
        lex.next();
        t = lex.next();
    }
    if (t.kind != Token::Word && t.kind != Token::Quoted)
        return false;
    std::string name = t.text;
    t = lex.next();
    if (t.text == ".") { // schema-qualified
        t = lex.next();
        name = t.text;
        t = lex.next();
    } else if (t.kind == Token::Word && !t.text.empty() && t.text[0] == '.') {
        name = t.text.substr(1);
        t = lex.next();
    }
    if (t.text != "(")
        return false; // CREATE TABLE ... AS SELECT has no column list to read

    std::vector<Def> defs(1);
    int depth = 0;
    for (;;) {
        t = lex.next();
        if (t.kind == Token::End)
            return false;
        if (t.text == "(")
            ++depth;
        if (t.text == ")") {
            if (depth == 0)
                break;
            --depth;
        }
        if (t.text == "," && depth == 0) {
            defs.emplace_back();
            continue;
        }
        defs.back().push_back(t);
    }
    bool withoutRowid = false;
    for (t = lex.next(); t.kind != Token::End; t = lex.next())
        if (t.upper == "ROWID")
            withoutRowid = true;

    TableLayout layout;
    layout.table.name = name;
    layout.table.withoutRowid = withoutRowid;
    std::vector<bool> notNull, addable;
    std::vector<Value> predatingValues;
    std::vector<int> pk;
    bool pkDesc = false;
    for (const Def& d : defs) {
        if (d.empty())
            return false;
        if (d[0].kind == Token::Word && isTableConstraint(d[0].upper)) {
            for (size_t i = 0; i + 1 < d.size(); ++i) {
                if (d[i].upper != "PRIMARY" || d[i + 1].upper != "KEY")
                    continue;
                pk.clear();
                int level = 0;
                for (size_t j = i + 2; j < d.size(); ++j) {
                    if (d[j].text == "(") {
                        ++level;
                        continue;
                    }
                    if (d[j].text == ")") {
                        if (--level <= 0)
                            break;
                        continue;
                    }
                    if (level == 1 && (d[j].kind == Token::Word || d[j].kind == Token::Quoted) && d[j].text != ",") {
                        for (size_t c = 0; c < layout.table.columns.size(); ++c)
                            if (iequals(layout.table.columns[c].name, d[j].text))
                                pk.push_back(int(c));
                        if (d[j].upper == "DESC")
                            pkDesc = true;
                    }
                }
                (void)pkDesc; // a table-level DESC key is still a rowid alias
            }
            continue;
        }
        Column col;
        col.name = d[0].text;
        size_t i = 1;
        std::string type;
        for (; i < d.size(); ++i) {
            if (d[i].kind == Token::Word && isConstraintStart(d[i].upper))
                break;
            if (!type.empty() && d[i].text != "(" && d[i].text != ")" && d[i].text != "," && type.back() != '(')
                type += ' ';
            type += d[i].text;
        }
        col.declaredType = type;
        bool nn = false;
        bool hasDefault = false, constant = true, keyed = false;
        Value predating;
        for (; i < d.size(); ++i) {
            if (d[i].upper == "NOT" && i + 1 < d.size() && d[i + 1].upper == "NULL")
                nn = true;
            if (d[i].upper == "PRIMARY" && i + 1 < d.size() && d[i + 1].upper == "KEY") {
                pk = {int(layout.table.columns.size())};
                pkDesc = i + 2 < d.size() && d[i + 2].upper == "DESC";
                keyed = true;
            }
            if (d[i].upper == "UNIQUE")
                keyed = true;
            if (d[i].upper == "DEFAULT" && i + 1 < d.size()) {
                hasDefault = true;
                predating = readDefault(d, i + 1, affinityOf(type), &constant);
            }
        }
        // ADD COLUMN refuses a key, a NOT NULL column without a default, and a default that is
        // not constant.
        addable.push_back(!keyed && constant && (!nn || hasDefault));
        predatingValues.push_back(predating);
        notNull.push_back(nn);
        layout.table.columns.push_back(col);
    }
    if (layout.table.columns.empty())
        return false;

    const size_t n = layout.table.columns.size();
    int alias = -1;
    if (!withoutRowid && pk.size() == 1 && !pkDesc) {
        std::string u;
        for (char c : layout.table.columns[pk[0]].declaredType)
            u += char(std::toupper(uint8_t(c)));
        if (u == "INTEGER")
            alias = pk[0];
    }
    std::vector<int> order;
    if (withoutRowid) {
        order = pk;
        for (size_t c = 0; c < n; ++c)
            if (std::find(pk.begin(), pk.end(), int(c)) == pk.end())
                order.push_back(int(c));
    } else {
        for (size_t c = 0; c < n; ++c)
            order.push_back(int(c));
    }
    for (int c : order) {
        StoredColumn s;
        s.tableIndex = c;
        s.affinity = affinityOf(layout.table.columns[c].declaredType);
        s.notNull = notNull[c] || (withoutRowid && std::find(pk.begin(), pk.end(), c) != pk.end());
        s.rowidAlias = c == alias;
        s.addable = addable[c] && !s.rowidAlias && std::find(pk.begin(), pk.end(), c) == pk.end();
        s.predating = predatingValues[c];
        if (s.rowidAlias) {
            layout.table.columns[c].rowidAlias = true;
            layout.aliasStored = int(layout.stored.size());
        }
        layout.stored.push_back(s);
    }
    layout.loose = std::all_of(layout.stored.begin(), layout.stored.end(), [](const StoredColumn& c) {
        return c.rowidAlias || c.affinity == Affinity::Blob || c.affinity == Affinity::Numeric;
    });
    *out = layout;
    return true;
}

namespace {

int columnNamed(const TableLayout& table, const std::string& name)
{
    for (size_t c = 0; c < table.table.columns.size(); ++c)
        if (iequals(table.table.columns[c].name, name))
            return int(c);
    return -1;
}

// Reads "(col [COLLATE x] [ASC|DESC], ...)" from just after the opening parenthesis; false when
// an entry is not a plain column of the table.
bool readColumnList(Lexer& lex, const TableLayout& table, std::vector<int>* columns)
{
    columns->clear();
    bool expectName = true;
    for (Token t = lex.next(); t.kind != Token::End; t = lex.next()) {
        if (t.text == ")")
            return !columns->empty();
        if (t.text == ",") {
            expectName = true;
            continue;
        }
        if (t.text == "(")
            return false; // an expression
        if (!expectName)
            continue; // COLLATE name, ASC, DESC
        const int c = columnNamed(table, t.text);
        if (c < 0)
            return false;
        columns->push_back(c);
        expectName = false;
    }
    return false;
}

} // namespace

bool parseCreateIndex(const std::string& sql, const TableLayout& table, std::vector<int>* columns)
{
    Lexer lex(sql);
    if (lex.next().upper != "CREATE")
        return false;
    Token t = lex.next();
    if (t.upper == "UNIQUE")
        t = lex.next();
    if (t.upper != "INDEX")
        return false;
    for (t = lex.next(); t.kind != Token::End && t.upper != "ON"; t = lex.next()) {
    }
    if (t.kind == Token::End)
        return false;
    for (t = lex.next(); t.kind != Token::End && t.text != "("; t = lex.next()) {
    }
    return t.kind != Token::End && readColumnList(lex, table, columns);
}

std::vector<std::vector<int>> autoIndexColumns(const std::string& sql, const TableLayout& table)
{
    std::vector<std::vector<int>> out;
    Lexer lex(sql);
    Token t;
    for (t = lex.next(); t.kind != Token::End && t.text != "("; t = lex.next()) {
    }
    if (t.kind == Token::End)
        return out;
    // Walks the definitions at depth 1: a column's own PRIMARY KEY / UNIQUE index covers it; a
    // table constraint lists its columns.
    int depth = 1;
    int current = -1; // column being defined, -1 inside a table constraint
    bool atDefStart = true;
    while (depth > 0) {
        t = lex.next();
        if (t.kind == Token::End)
            break;
        if (t.text == "(") {
            ++depth;
            continue;
        }
        if (t.text == ")") {
            --depth;
            continue;
        }
        if (depth != 1)
            continue;
        if (t.text == ",") {
            atDefStart = true;
            continue;
        }
        if (atDefStart) {
            atDefStart = false;
            current = (t.kind == Token::Word && isTableConstraint(t.upper)) ? -1 : columnNamed(table, t.text);
            if (current >= 0)
                continue;
        }
        const bool pk = t.upper == "PRIMARY";
        if (!pk && t.upper != "UNIQUE")
            continue;
        if (pk)
            lex.next(); // KEY
        std::vector<int> cols;
        if (current >= 0) {
            cols = {current};
        } else {
            Token open = lex.next();
            if (open.text != "(" || !readColumnList(lex, table, &cols))
                cols.clear();
        }
        // An INTEGER PRIMARY KEY is the rowid itself and gets no index.
        if (pk && cols.size() == 1 && table.table.columns[size_t(cols[0])].rowidAlias)
            continue;
        if (!cols.empty() && std::find(out.begin(), out.end(), cols) == out.end())
            out.push_back(cols);
    }
    return out;
}

TableLayout masterLayout()
{
    TableLayout t;
    parseCreateTable("CREATE TABLE sqlite_master(type text, name text, tbl_name text, rootpage integer, sql text)", &t);
    t.table.rootPage = 1;
    return t;
}

} // namespace sqlcarve
