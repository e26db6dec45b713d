#include "CorpusScore.h"

#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace corpusscore {
namespace {

// The key lists every table with its column types and every row, alive or deleted.
std::vector<KeyRow> readKey(const QString& xmlPath, std::map<std::string, std::vector<bool>>* textColumns)
{
    QFile f(xmlPath);
    std::vector<KeyRow> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QXmlStreamReader xml(&f);
    std::vector<QString> path; // open elements
    std::string table;
    bool tableDeleted = false;
    KeyRow row;
    const auto parent = [&](size_t up) { return path.size() > up ? path[path.size() - 1 - up] : QString(); };
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement()) {
            if (xml.name() == QLatin1String("row")) {
                row.deleted = row.deleted || tableDeleted;
                row.table = table;
                out.push_back(row);
            }
            path.pop_back();
            continue;
        }
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        const QString up = parent(0), up2 = parent(1);
        path.push_back(name);
        // readElementText consumes the end tag, so leaves leave the path here.
        if (name == QLatin1String("name") && up == QLatin1String("meta") && up2 == QLatin1String("element")) {
            table = xml.readElementText().trimmed().toStdString();
            tableDeleted = false;
            path.pop_back();
        } else if (name == QLatin1String("deleted") && up == QLatin1String("meta") && up2 == QLatin1String("element")) {
            tableDeleted = xml.readElementText().trimmed() == QLatin1String("True");
            path.pop_back();
        } else if (name == QLatin1String("columnTypeName")) {
            (*textColumns)[table].push_back(xml.readElementText().trimmed().toUpper().contains(QLatin1String("TEXT")));
            path.pop_back();
        } else if (name == QLatin1String("content")) {
            row.values.push_back(xml.readElementText().toStdString());
            path.pop_back();
        } else if (name == QLatin1String("row")) {
            row = KeyRow();
            row.deleted = xml.attributes().value(QLatin1String("deleted")) == QLatin1String("1");
        }
    }
    return out;
}

bool parseInt(const std::string& s, int64_t* v)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    *v = std::strtoll(s.c_str(), &end, 10);
    return *end == '\0' && errno == 0;
}

bool parseReal(const std::string& s, double* v)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

size_t digits(int64_t v)
{
    return std::to_string(v).size() - (v < 0);
}

// A key value as the file would hold it.
struct Stored {
    std::string bytes;        // empty: nothing worth looking for
    bool locatable = false;   // counts towards "the row's bytes survive"
    bool distinctive = false; // tells the row apart by itself
};

std::string intBytes(int64_t v)
{
    int width = 8;
    for (const int w : {1, 2, 3, 4, 6})
        if (v >= -(int64_t(1) << (8 * w - 1)) && v < (int64_t(1) << (8 * w - 1))) {
            width = w;
            break;
        }
    std::string out(size_t(width), '\0');
    for (int i = width - 1; i >= 0; --i, v >>= 8)
        out[size_t(i)] = char(v & 0xff);
    return out;
}

Stored stored(const std::string& key, bool textColumn)
{
    Stored s;
    int64_t i = 0;
    double d = 0;
    if (key.empty() || key == "NULL")
        return s;
    if (!textColumn && parseInt(key, &i)) {
        s.bytes = intBytes(i);
        s.locatable = s.distinctive = digits(i) >= 3;
    } else if (!textColumn && parseReal(key, &d)) {
        if (d == std::floor(d) && std::fabs(d) < 9e18) {
            s.bytes = intBytes(int64_t(d)); // REAL affinity stores integral values as integers
            s.locatable = s.distinctive = digits(int64_t(d)) >= 3;
        } else {
            uint64_t bits = 0;
            std::memcpy(&bits, &d, 8);
            s.bytes.resize(8);
            for (int k = 7; k >= 0; --k, bits >>= 8)
                s.bytes[size_t(k)] = char(bits & 0xff);
            s.locatable = s.distinctive = true;
        }
    } else {
        s.bytes = key;
        s.locatable = key.size() >= 3;
        s.distinctive = key.size() >= 4;
    }
    return s;
}

bool sameValue(const std::string& key, const sqlcarve::Value& v)
{
    double k = 0;
    switch (v.kind) {
    case sqlcarve::Value::Kind::Integer:
        return key == std::to_string(v.integer) || (parseReal(key, &k) && k == double(v.integer));
    case sqlcarve::Value::Kind::Real:
        return parseReal(key, &k) && std::fabs(k - v.real) <= 1e-9 * std::fabs(k) + 1e-5; // keys print 5 decimals
    case sqlcarve::Value::Kind::Text:
    case sqlcarve::Value::Kind::Blob:
        return key == v.bytes;
    case sqlcarve::Value::Kind::Null:
        return key.empty() || key == "NULL";
    case sqlcarve::Value::Kind::Lost:
        return false;
    }
    return false;
}

// 2: whole; 1: partial (its known values agree, a distinctive one among them, and the surviving
// start of each lost one fits); 0: a different row.
int fit(const Case& c, const KeyRow& key, const std::vector<bool>& textColumns, const sqlcarve::CarvedRow& row)
{
    if (key.values.size() != row.values.size())
        return 0;
    int known = 0, lost = 0;
    bool distinctive = false;
    for (size_t i = 0; i < key.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        if (v.isLost()) {
            if (key.values[i].compare(0, v.bytes.size(), v.bytes) != 0)
                return 0;
            ++lost;
        } else if (!sameValue(key.values[i], v)) {
            return 0;
        } else {
            ++known;
            distinctive = distinctive
                || (stored(key.values[i], i < textColumns.size() && textColumns[i]).distinctive && !c.shared.count(key.values[i]));
        }
    }
    if (known == 0)
        return 0;
    return lost == 0 ? 2 : distinctive ? 1 : 0;
}

std::string printable(const std::string& v)
{
    std::string out;
    for (const char c : v)
        out += (unsigned char)c < 0x20 ? '.' : c;
    return out;
}

std::string describeKey(const KeyRow& k)
{
    std::string out = k.table + " [";
    for (size_t i = 0; i < k.values.size(); ++i)
        out += (i ? "|" : "") + printable(k.values[i]);
    return out + "]";
}

std::string describeRow(const sqlcarve::CarvedRow& r)
{
    std::string out = r.table + " [";
    for (size_t i = 0; i < r.values.size(); ++i) {
        const sqlcarve::Value& v = r.values[i];
        out += i ? "|" : "";
        switch (v.kind) {
        case sqlcarve::Value::Kind::Null: out += "NULL"; break;
        case sqlcarve::Value::Kind::Integer: out += std::to_string(v.integer); break;
        case sqlcarve::Value::Kind::Real: out += std::to_string(v.real); break;
        case sqlcarve::Value::Kind::Text:
        case sqlcarve::Value::Kind::Blob: out += printable(v.bytes); break;
        case sqlcarve::Value::Kind::Lost: out += "<lost:" + printable(v.bytes) + ">"; break;
        }
    }
    char where[96];
    std::snprintf(where, sizeof where, "] %s page %u @%llu", sqlcarve::sourceName(r.source), r.page,
                  static_cast<unsigned long long>(r.offset));
    return out + where;
}

// Where each locatable value of the row occurs in the file (a few places at most).
std::string whereInFile(const KeyRow& k, const std::vector<bool>& textColumns, const std::string& file, uint32_t pageSize)
{
    std::string out;
    for (size_t i = 0; i < k.values.size(); ++i) {
        const Stored s = stored(k.values[i], i < textColumns.size() && textColumns[i]);
        if (!s.locatable)
            continue;
        out += " " + printable(k.values[i]) + ":";
        size_t at = file.find(s.bytes);
        if (at == std::string::npos)
            out += "gone";
        for (int shown = 0; at != std::string::npos && shown < 4; ++shown, at = file.find(s.bytes, at + 1)) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%s@%zu(p%zu)", shown ? "," : "", at, at / pageSize + 1);
            out += buf;
        }
    }
    return out;
}

} // namespace

std::vector<Case> loadCases(const std::string& corpusDir, const std::vector<std::string>& categories)
{
    std::vector<Case> out;
    for (const std::string& category : categories) {
        const QDir dir(QString::fromStdString(corpusDir + "/" + category));
        for (const QString& name : dir.entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
            Case c;
            c.name = QString(name).chopped(3).toStdString();
            c.dbPath = dir.filePath(name).toStdString();
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                c.bytes = f.readAll().toStdString();
            std::map<std::string, std::vector<bool>> textColumns;
            c.rows = readKey(dir.filePath(QString(name).chopped(3) + QLatin1String(".xml")), &textColumns);
            c.textColumns = std::move(textColumns);
            std::set<std::string> seen;
            for (const KeyRow& k : c.rows)
                for (const std::string& v : std::set<std::string>(k.values.begin(), k.values.end()))
                    if (!seen.insert(v).second)
                        c.shared.insert(v);
            out.push_back(std::move(c));
        }
    }
    return out;
}

sqlcarve::Result carveCase(const Case& c)
{
    sqlcarve::Options opt;
    opt.autoCompanions = false;
    return sqlcarve::carveFile(c.dbPath, opt);
}

void Score::add(const Score& o)
{
    cases += o.cases;
    deleted += o.deleted;
    whole += o.whole;
    partial += o.partial;
    survive += o.survive;
    wholeOfSurvive += o.wholeOfSurvive;
    distinctive += o.distinctive;
    foundOfDistinctive += o.foundOfDistinctive;
    reported += o.reported;
    trueRows += o.trueRows;
    wrongTable += o.wrongTable;
    wrongTableNamed += o.wrongTableNamed;
}

Score scoreCase(const Case& c, const sqlcarve::Result& result, std::string* log)
{
    Score s;
    s.cases = 1;
    const auto columnsOf = [&](const std::string& table) -> const std::vector<bool>& {
        static const std::vector<bool> none;
        const auto it = c.textColumns.find(table);
        return it == c.textColumns.end() ? none : it->second;
    };
    uint32_t pageSize = 4096;
    if (c.bytes.size() >= 100) {
        pageSize = uint32_t((unsigned char)c.bytes[16]) << 8 | (unsigned char)c.bytes[17];
        pageSize = pageSize == 1 ? 65536 : pageSize ? pageSize : 4096;
    }

    // Tables the carver knows by name: live ones, and those a recovered schema row names.
    std::set<std::string> known;
    for (const sqlcarve::Table& t : result.tables)
        known.insert(t.name);
    for (const sqlcarve::CarvedRow& r : result.rows)
        if (r.table == "sqlite_master" && r.values.size() == 5 && r.values[1].kind == sqlcarve::Value::Kind::Text)
            known.insert(r.values[1].bytes);

    if (log) {
        *log += c.name + " tables:";
        for (const sqlcarve::Table& t : result.tables)
            *log += " " + t.name + "(root " + std::to_string(t.rootPage) + (t.dropped ? ", dropped)" : ")");
        for (const sqlcarve::CarvedRow& r : result.rows)
            if (r.table == "sqlite_master")
                *log += " [schema row " + describeRow(r) + "]";
        *log += "\n";
    }

    std::vector<int> credit(c.rows.size(), 0);
    std::vector<const sqlcarve::CarvedRow*> creditedBy(c.rows.size(), nullptr);
    for (const sqlcarve::CarvedRow& r : result.rows) {
        if (r.table == "sqlite_master")
            continue;
        ++s.reported;
        int best = 0;
        size_t at = 0;
        bool ownTable = false;
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const int f = fit(c, c.rows[i], columnsOf(c.rows[i].table), r);
            if (f == 0)
                continue;
            ownTable = ownTable || c.rows[i].table == r.table;
            // Rows of the same values: credit the deleted one, then the one of the row's table.
            const auto rank = [&](size_t k, int fk) { return fk * 4 + c.rows[k].deleted * 2 + (c.rows[k].table == r.table); };
            if (best == 0 || rank(i, f) > rank(at, best))
                best = f, at = i;
        }
        if (best == 0) {
            if (log)
                *log += c.name + " false row: " + describeRow(r) + "\n";
            continue;
        }
        ++s.trueRows;
        if (c.rows[at].deleted && best > credit[at])
            credit[at] = best, creditedBy[at] = &r;
        if (!ownTable) {
            ++s.wrongTable;
            const bool named = known.count(c.rows[at].table) != 0;
            s.wrongTableNamed += named;
            if (log)
                *log += c.name + " wrong table (key: " + c.rows[at].table + (named ? ", named in the schema" : ", unnamed")
                    + "): " + describeRow(r) + "\n";
        }
    }

    for (size_t i = 0; i < c.rows.size(); ++i) {
        const KeyRow& k = c.rows[i];
        if (!k.deleted)
            continue;
        const std::vector<bool>& types = columnsOf(k.table);
        bool anyLocatable = false, allThere = true, distinctiveThere = false;
        for (size_t v = 0; v < k.values.size(); ++v) {
            const Stored st = stored(k.values[v], v < types.size() && types[v]);
            if (!st.locatable)
                continue;
            anyLocatable = true;
            const bool there = c.bytes.find(st.bytes) != std::string::npos;
            allThere = allThere && there;
            distinctiveThere = distinctiveThere || (st.distinctive && there && !c.shared.count(k.values[v]));
        }
        ++s.deleted;
        s.whole += credit[i] == 2;
        s.partial += credit[i] == 1;
        if (anyLocatable && allThere)
            ++s.survive, s.wholeOfSurvive += credit[i] == 2;
        if (distinctiveThere)
            ++s.distinctive, s.foundOfDistinctive += credit[i] != 0;
        if (log && credit[i] != 2)
            *log += c.name + (credit[i] ? " partial: " : " missed: ") + describeKey(k)
                + (allThere && anyLocatable ? " bytes survive:" : distinctiveThere ? " some survive:" : " gone:")
                + whereInFile(k, types, c.bytes, pageSize) + (credit[i] ? "; reported as " + describeRow(*creditedBy[i]) : "")
                + "\n";
    }
    return s;
}

std::string describe(const Score& s)
{
    char buf[320];
    std::snprintf(buf, sizeof buf,
                  "%d cases: %d deleted rows, %d whole, %d partial; bytes survive for %d (%d whole), a distinctive "
                  "value for %d (%d found); %d reported, %d true (precision %.3f), %d in a wrong table (%d of a "
                  "table the carver knew)",
                  s.cases, s.deleted, s.whole, s.partial, s.survive, s.wholeOfSurvive, s.distinctive,
                  s.foundOfDistinctive, s.reported, s.trueRows, s.precision(), s.wrongTable, s.wrongTableNamed);
    return buf;
}

bool verbose()
{
    const char* v = std::getenv("IBR_CORPUS_VERBOSE");
    return v && std::strcmp(v, "1") == 0;
}

} // namespace corpusscore
