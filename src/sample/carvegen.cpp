#include "carvegen.h"

#include "ibr/schemas.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <string_view>
#include <unordered_map>

namespace carvegen {

using sqlcarve::Value;

namespace {

// A layout with what deleted-record recovery has to cope with: a rowid alias, text of every
// length, NULLs, reals, blobs, a table without alias and an index.
const char* const kGenericSchema[] = {
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
    "handle_id INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, is_from_me INTEGER DEFAULT 0, service TEXT, "
    "rate REAL, attachment BLOB)",
    "CREATE TABLE contact (id INTEGER PRIMARY KEY, first TEXT, last TEXT, phone TEXT NOT NULL, note TEXT, score REAL)",
    "CREATE TABLE plain (label TEXT, amount INTEGER, ratio REAL, data BLOB, misc)",
    "CREATE INDEX message_idx ON message(handle_id, date)",
};

struct ColumnInfo {
    std::string name, type;
    bool notNull = false, alias = false, unique = false;
};

struct TableInfo {
    std::string name;
    std::vector<ColumnInfo> columns;
    int alias = -1;
};

std::string upper(std::string s)
{
    for (char& c : s)
        c = char(toupper(uint8_t(c)));
    return s;
}

bool exec(sqlite3* db, const std::string& sql, std::string* error = nullptr)
{
    char* msg = nullptr;
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK;
    if (!ok && error)
        *error = sql.substr(0, 60) + ": " + (msg ? msg : "?");
    sqlite3_free(msg);
    return ok;
}

// Runs `sql` and hands each result row to `row`.
template <class F> void query(sqlite3* db, const std::string& sql, F row)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW)
        row(st);
    sqlite3_finalize(st);
}

std::string textAt(sqlite3_stmt* st, int i)
{
    const unsigned char* t = sqlite3_column_text(st, i);
    return t ? reinterpret_cast<const char*>(t) : "";
}

std::vector<TableInfo> readTables(sqlite3* db)
{
    std::vector<TableInfo> out;
    query(db,
          "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' AND sql NOT LIKE '%VIRTUAL%' "
          "AND sql NOT LIKE '%WITHOUT ROWID%' ORDER BY rowid",
          [&](sqlite3_stmt* st) { out.push_back({textAt(st, 0), {}, -1}); });
    for (TableInfo& t : out) {
        int pkCount = 0, pkCol = -1;
        query(db, "PRAGMA table_info(\"" + t.name + "\")", [&](sqlite3_stmt* st) {
            if (sqlite3_column_int(st, 5) > 0) {
                ++pkCount;
                pkCol = int(t.columns.size());
            }
            t.columns.push_back({textAt(st, 1), textAt(st, 2), sqlite3_column_int(st, 3) != 0});
        });
        if (pkCount == 1 && upper(t.columns[size_t(pkCol)].type) == "INTEGER")
            t.columns[size_t(t.alias = pkCol)].alias = true;
        // Columns under a UNIQUE index get values that cannot repeat.
        std::vector<std::string> uniqueIdx;
        query(db, "PRAGMA index_list(\"" + t.name + "\")", [&](sqlite3_stmt* st) {
            if (sqlite3_column_int(st, 2))
                uniqueIdx.push_back(textAt(st, 1));
        });
        for (const std::string& idx : uniqueIdx)
            query(db, "PRAGMA index_info(\"" + idx + "\")", [&](sqlite3_stmt* st) {
                const int cid = sqlite3_column_int(st, 1);
                if (cid >= 0 && cid < int(t.columns.size()))
                    t.columns[size_t(cid)].unique = true;
            });
    }
    return out;
}

enum class Aff { Integer, Text, Blob, Real, Numeric };
Aff affinity(const std::string& type)
{
    const std::string u = upper(type);
    auto has = [&u](const char* s) { return u.find(s) != std::string::npos; };
    if (has("INT"))
        return Aff::Integer;
    if (has("CHAR") || has("CLOB") || has("TEXT"))
        return Aff::Text;
    if (u.empty() || has("BLOB"))
        return Aff::Blob;
    return has("REAL") || has("FLOA") || has("DOUB") ? Aff::Real : Aff::Numeric;
}

const char* const kWords[] = {"call", "me", "later", "ok", "see", "you", "at", "the", "station", "tomorrow", "thanks",
                              "dinner", "Grüße", "naïve", "café", "日本", "привет", "😀", "meeting", "moved", "to", "noon"};

std::string makeText(std::mt19937& rng, const std::string& token, size_t target)
{
    std::string s = token;
    std::uniform_int_distribution<size_t> w(0, std::size(kWords) - 1);
    while (s.size() < target)
        s += std::string(" ") + kWords[w(rng)];
    return s;
}

Value readValue(sqlite3_stmt* st, int i)
{
    Value v;
    const int type = sqlite3_column_type(st, i);
    v.kind = type == SQLITE_NULL      ? Value::Kind::Null
             : type == SQLITE_INTEGER ? Value::Kind::Integer
             : type == SQLITE_FLOAT   ? Value::Kind::Real
             : type == SQLITE_TEXT    ? Value::Kind::Text
                                      : Value::Kind::Blob;
    v.integer = type == SQLITE_INTEGER ? sqlite3_column_int64(st, i) : 0;
    v.real = type == SQLITE_FLOAT ? sqlite3_column_double(st, i) : 0.0;
    if (type == SQLITE_TEXT || type == SQLITE_BLOB)
        v.bytes.assign(static_cast<const char*>(sqlite3_column_blob(st, i)), size_t(sqlite3_column_bytes(st, i)));
    return v;
}

void putVarint(std::string& out, uint64_t v)
{
    if (v >> 56) { // nine bytes: eight of seven bits, the last of eight
        std::string nine(9, '\0');
        nine[8] = char(v);
        v >>= 8;
        for (int i = 7; i >= 0; --i, v >>= 7)
            nine[size_t(i)] = char((v & 0x7f) | 0x80);
        out += nine;
        return;
    }
    std::string rev;
    do {
        rev += char((v & 0x7f) | (rev.empty() ? 0 : 0x80));
        v >>= 7;
    } while (v);
    out.append(rev.rbegin(), rev.rend());
}

// The record SQLite writes for these values: serial types in `header`, values in `body`.
void encodeRecord(const GenRow& row, std::string* header, std::string* body)
{
    std::string types;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const Value& v = row.values[i];
        if (int(i) == row.aliasColumn || v.kind == Value::Kind::Null) {
            types += char(0);
        } else if (v.kind == Value::Kind::Integer && (v.integer == 0 || v.integer == 1)) {
            types += char(8 + v.integer);
        } else if (v.kind == Value::Kind::Integer || v.kind == Value::Kind::Real) {
            uint64_t bits = uint64_t(v.integer);
            int type = 7, size = 8;
            if (v.kind == Value::Kind::Real) {
                std::memcpy(&bits, &v.real, 8);
            } else {
                const uint64_t u = v.integer < 0 ? ~bits : bits;
                static const uint64_t kTop[] = {127, 32767, 8388607, 2147483647, 0x7fffffffffffull};
                static const int kSize[] = {1, 2, 3, 4, 6};
                type = 6;
                for (int k = 4; k >= 0; --k)
                    if (u <= kTop[k])
                        type = k + 1, size = kSize[k];
            }
            types += char(type);
            for (int b = size - 1; b >= 0; --b)
                body->push_back(char(bits >> (8 * b)));
        } else {
            putVarint(types, uint64_t(v.bytes.size()) * 2 + (v.kind == Value::Kind::Text ? 13 : 12));
            *body += v.bytes;
        }
    }
    header->clear();
    putVarint(*header, types.size() + (types.size() + 1 >= 128 ? 2 : 1));
    *header += types;
}

// Finds which byte patterns (each at least kWindow bytes) occur anywhere in the files.
class PatternSearch
{
public:
    static constexpr size_t kWindow = 16;
    int add(std::string pattern)
    {
        m_patterns.push_back(std::move(pattern));
        m_found.push_back(false);
        return int(m_patterns.size() - 1);
    }
    void scan(const std::string& path)
    {
        if (m_index.empty())
            for (size_t id = 0; id < m_patterns.size(); ++id)
                m_index[std::string_view(m_patterns[id]).substr(0, kWindow)].push_back(id);
        std::ifstream in(path, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t i = 0; i + kWindow <= data.size(); ++i) {
            const auto it = m_index.find(std::string_view(data).substr(i, kWindow));
            if (it != m_index.end())
                for (size_t id : it->second)
                    m_found[id] = m_found[id] || data.compare(i, m_patterns[id].size(), m_patterns[id]) == 0;
        }
    }
    bool found(int id) const { return id >= 0 && m_found[size_t(id)]; }

private:
    std::vector<std::string> m_patterns;
    std::vector<bool> m_found;
    std::unordered_map<std::string_view, std::vector<size_t>> m_index;
};

uint32_t localPayload(uint64_t payload, uint32_t usable)
{
    const uint64_t maxLocal = usable - 35, minLocal = ((usable - 12) * 32 / 255) - 23;
    const uint64_t k = minLocal + (payload - minLocal) % (usable - 4);
    return uint32_t(payload <= maxLocal ? payload : k <= maxLocal ? k : minLocal);
}

bool copyFile(const std::string& from, const std::string& to)
{
    QFile::remove(QString::fromStdString(to));
    return QFile::copy(QString::fromStdString(from), QString::fromStdString(to));
}

} // namespace

bool generate(const Scenario& sc, const std::string& folder, GroundTruth* truth, std::string* error)
{
    QDir().mkpath(QString::fromStdString(folder + "/work"));
    const std::string base = sc.layout == "generic" ? "generic.db" : sc.layout;
    const std::string work = folder + "/work/" + base;
    for (const char* suffix : {"", "-wal", "-journal", "-shm"})
        QFile::remove(QString::fromStdString(work + suffix));
    sqlite3* db = nullptr;
    auto fail = [&](const std::string& e) {
        *error = e;
        sqlite3_close(db);
        return false;
    };
    if (sqlite3_open(work.c_str(), &db) != SQLITE_OK)
        return fail("cannot create " + work);
    std::string e;
    const char* jm = sc.mode == Mode::Wal ? "WAL" : sc.mode == Mode::PersistJournal ? "PERSIST" : "DELETE";
    // synchronous=OFF: the file format is the same, only faster to build.
    for (const std::string& p : {"page_size=" + std::to_string(sc.pageSize), std::string("secure_delete=OFF"),
                                 std::string("synchronous=OFF"), std::string("auto_vacuum=NONE"), "journal_mode=" + std::string(jm)})
        exec(db, "PRAGMA " + p);
    if (sc.layout == "generic") {
        for (const char* s : kGenericSchema)
            if (!exec(db, s, &e))
                return fail(e);
    } else {
        const QStringList statements = ibr::iosSchemaStatements(sc.iosMajor, QString::fromStdString(sc.layout));
        if (statements.isEmpty())
            return fail("no iOS " + std::to_string(sc.iosMajor) + " layout for " + sc.layout);
        for (const QString& s : statements)
            if (!s.trimmed().startsWith(QLatin1String("CREATE TRIGGER"), Qt::CaseInsensitive))
                exec(db, s.toStdString()); // statements only the device can run are skipped
    }
    std::vector<TableInfo> tables = readTables(db);
    tables.erase(std::remove_if(tables.begin(), tables.end(),
                                [&](const TableInfo& t) {
                                    return t.columns.size() < 2 || (!sc.onlyTable.empty() && t.name != sc.onlyTable);
                                }),
                 tables.end());
    if (tables.empty())
        return fail("layout has no tables");

    std::mt19937 rng(1);
    truth->rows.clear();
    // Wider tables get more rows, as message tables do on a phone.
    std::vector<double> weights;
    for (const TableInfo& t : tables)
        weights.push_back(double(t.columns.size()));
    std::discrete_distribution<size_t> pickTable(weights.begin(), weights.end());

    std::vector<sqlite3_stmt*> inserts(tables.size()), selects(tables.size());
    for (size_t i = 0; i < tables.size(); ++i) {
        std::string cols, marks;
        for (size_t c = 0; c < tables[i].columns.size(); ++c) {
            cols += (c ? ",\"" : "\"") + tables[i].columns[c].name + "\"";
            marks += c ? ",?" : "?";
        }
        const std::string q = "\"" + tables[i].name + "\"";
        sqlite3_prepare_v2(db, ("INSERT OR IGNORE INTO " + q + "(" + cols + ") VALUES(" + marks + ")").c_str(), -1, &inserts[i], nullptr);
        sqlite3_prepare_v2(db, ("SELECT * FROM " + q + " WHERE rowid=?").c_str(), -1, &selects[i], nullptr);
        if (!inserts[i] || !selects[i])
            return fail("cannot prepare statements for " + tables[i].name);
    }
    auto insertRow = [&](int n) {
        const size_t ti = pickTable(rng);
        const TableInfo& t = tables[ti];
        sqlite3_stmt* st = inserts[ti];
        sqlite3_reset(st);
        for (size_t c = 0; c < t.columns.size(); ++c) {
            const ColumnInfo& col = t.columns[c];
            const int idx = int(c) + 1;
            if (col.alias || (!col.notNull && !col.unique && rng() % 10 == 0)) {
                sqlite3_bind_null(st, idx);
                continue;
            }
            const std::string token = "r" + std::to_string(n) + "c" + std::to_string(c);
            switch (affinity(col.type)) {
            case Aff::Integer: {
                static const int64_t kScales[] = {1, 2, 100, 30000, 8000000, 2000000000, 100000000000000ll, 4000000000000000000ll};
                const int64_t scale = kScales[rng() % std::size(kScales)];
                int64_t v = int64_t(rng() % uint64_t(scale));
                if (col.unique)
                    v = int64_t(n) * 1000003 + int64_t(c);
                sqlite3_bind_int64(st, idx, rng() % 8 == 0 ? -v : v);
                break;
            }
            case Aff::Real:
                sqlite3_bind_double(st, idx, double(int64_t(rng() % 2000000) - 1000000) / 8.0 + 0.0625);
                break;
            case Aff::Blob:
                if (col.type.empty()) {
                    sqlite3_bind_text(st, idx, makeText(rng, token, 12 + rng() % 20).c_str(), -1, SQLITE_TRANSIENT);
                } else {
                    std::string b(8 + rng() % 40, '\0');
                    for (char& ch : b)
                        ch = char(rng());
                    std::memcpy(&b[0], token.data(), std::min(token.size(), b.size()));
                    sqlite3_bind_blob(st, idx, b.data(), int(b.size()), SQLITE_TRANSIENT);
                }
                break;
            case Aff::Text:
            case Aff::Numeric: {
                size_t len = 8 + rng() % unsigned(std::max(1, sc.textMax));
                if (sc.overflowEvery > 0 && n % sc.overflowEvery == 0 && c + 1 == t.columns.size() - (t.columns.size() > 2 ? 1 : 0))
                    len = size_t(sc.pageSize) * 2 + rng() % 500;
                sqlite3_bind_text(st, idx, makeText(rng, token, len).c_str(), -1, SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (sqlite3_step(st) != SQLITE_DONE || sqlite3_changes(db) == 0)
            return;
        GenRow row;
        row.table = t.name;
        row.rowid = sqlite3_last_insert_rowid(db);
        row.aliasColumn = t.alias;
        sqlite3_stmt* sel = selects[ti];
        sqlite3_reset(sel);
        sqlite3_bind_int64(sel, 1, row.rowid);
        if (sqlite3_step(sel) == SQLITE_ROW)
            for (int c = 0; c < sqlite3_column_count(sel); ++c)
                row.values.push_back(readValue(sel, c));
        truth->rows.push_back(row);
    };
    auto deleteRow = [&](size_t r) {
        exec(db, "DELETE FROM \"" + truth->rows[r].table + "\" WHERE rowid=" + std::to_string(truth->rows[r].rowid));
        truth->rows[r].deleted = true;
    };

    const int perCommit = std::max(1, sc.rowsPerCommit);
    if (sc.mode == Mode::Wal && !sc.bulk) {
        // Thousands of commits, deletions interleaved with later inserts.
        for (int n = 0; n < sc.rows;) {
            exec(db, "BEGIN");
            for (int k = 0; k < perCommit && n < sc.rows; ++k, ++n)
                insertRow(n);
            exec(db, "COMMIT");
            if (!truth->rows.empty() && std::uniform_real_distribution<double>(0, 1)(rng) < sc.deleteFraction * perCommit) {
                const size_t r = rng() % truth->rows.size();
                if (!truth->rows[r].deleted)
                    deleteRow(r); // a transaction of its own
            }
        }
    } else {
        exec(db, "BEGIN");
        for (int n = 0; n < sc.rows; ++n) {
            insertRow(n);
            if (!sc.bulk && (n + 1) % perCommit == 0)
                exec(db, "COMMIT"), exec(db, "BEGIN");
        }
        exec(db, "COMMIT");
        std::vector<size_t> order(truth->rows.size());
        std::iota(order.begin(), order.end(), size_t(0));
        std::shuffle(order.begin(), order.end(), rng);
        order.resize(size_t(double(order.size()) * sc.deleteFraction));
        if (sc.mode == Mode::PersistJournal)
            exec(db, "PRAGMA secure_delete=ON"); // only the journal keeps the deleted rows
        // Deletions in batches, each in rowid order as a DELETE ... WHERE would do.
        const size_t batch = sc.bulk || sc.mode == Mode::PersistJournal ? order.size() : 50;
        for (size_t i = 0; i < order.size(); i += batch) {
            const size_t end = std::min(order.size(), i + batch);
            std::sort(order.begin() + long(i), order.begin() + long(end));
            exec(db, "BEGIN");
            for (size_t k = i; k < end; ++k)
                deleteRow(order[k]);
            exec(db, "COMMIT");
        }
    }
    for (size_t i = 0; i < tables.size(); ++i)
        sqlite3_finalize(inserts[i]), sqlite3_finalize(selects[i]);

    // Copies of the files taken while the connection is open, so the -wal is not checkpointed away.
    truth->dbPath = folder + "/" + base;
    truth->walPath.clear();
    truth->journalPath.clear();
    if (!copyFile(work, truth->dbPath))
        return fail("cannot copy " + work);
    for (auto [suffix, path] : {std::pair{"-wal", &truth->walPath}, std::pair{"-journal", &truth->journalPath}}) {
        QFile::remove(QString::fromStdString(truth->dbPath + suffix));
        if (QFile::exists(QString::fromStdString(work + suffix)) && copyFile(work + suffix, truth->dbPath + suffix))
            *path = truth->dbPath + suffix;
    }
    sqlite3_close(db);

    // Which deleted rows still have their bytes somewhere: the local body, the last overflow
    // chunk, and the cell's start (payload size, rowid, header).
    PatternSearch search;
    struct Ids {
        int body = -1, tail = -1, cell = -1;
    };
    std::vector<Ids> ids(truth->rows.size());
    const uint32_t usable = uint32_t(sc.pageSize);
    for (size_t r = 0; r < truth->rows.size(); ++r) {
        GenRow& row = truth->rows[r];
        if (!row.deleted)
            continue;
        std::string header, body;
        encodeRecord(row, &header, &body);
        const uint64_t payload = header.size() + body.size();
        const uint32_t local = localPayload(payload, usable);
        row.overflow = local < payload;
        const size_t bodyLocal = local - header.size();
        if (bodyLocal < PatternSearch::kWindow)
            continue;
        row.scored = true;
        ids[r].body = search.add(body.substr(0, bodyLocal));
        const size_t lastChunk = (payload - local) % (usable - 4) ? (payload - local) % (usable - 4) : usable - 4;
        if (row.overflow && lastChunk >= PatternSearch::kWindow)
            ids[r].tail = search.add(body.substr(body.size() - lastChunk));
        std::string cell;
        putVarint(cell, payload);
        putVarint(cell, uint64_t(row.rowid));
        ids[r].cell = search.add(cell + header + body.substr(0, std::min<size_t>(bodyLocal, 16)));
    }
    for (const std::string& p : {truth->dbPath, truth->walPath, truth->journalPath})
        if (!p.empty())
            search.scan(p);
    for (size_t r = 0; r < truth->rows.size(); ++r) {
        GenRow& row = truth->rows[r];
        row.survives = row.scored && search.found(ids[r].body) && (ids[r].tail < 0 || search.found(ids[r].tail));
        row.prefixLost = row.survives && !search.found(ids[r].cell);
    }
    return true;
}

namespace {

template <typename T> bool io(std::fstream& f, T& v, bool out)
{
    return out ? bool(f.write(reinterpret_cast<const char*>(&v), sizeof v)) : bool(f.read(reinterpret_cast<char*>(&v), sizeof v));
}
bool io(std::fstream& f, std::string& s, bool out)
{
    uint64_t n = s.size();
    if (!io(f, n, out) || n > (1u << 30))
        return false;
    s.resize(size_t(n));
    return out ? bool(f.write(s.data(), std::streamsize(n))) : bool(f.read(&s[0], std::streamsize(n)));
}

// Writes or reads the truth's paths and deleted rows, field by field in the same order.
bool transfer(std::fstream& f, GroundTruth& truth, bool out)
{
    std::vector<GenRow> rows;
    for (const GenRow& r : truth.rows)
        if (r.deleted)
            rows.push_back(r);
    uint64_t n = rows.size();
    if (!io(f, truth.dbPath, out) || !io(f, truth.walPath, out) || !io(f, truth.journalPath, out) || !io(f, n, out)
        || n > (1u << 26))
        return false;
    rows.resize(size_t(n));
    for (GenRow& r : rows) {
        uint8_t flags = uint8_t(r.survives | r.prefixLost << 1 | r.overflow << 2 | r.scored << 3);
        uint32_t count = uint32_t(r.values.size());
        int32_t alias = r.aliasColumn;
        if (!io(f, r.table, out) || !io(f, r.rowid, out) || !io(f, alias, out) || !io(f, flags, out) || !io(f, count, out)
            || count > 4096)
            return false;
        r.aliasColumn = alias;
        r.deleted = true;
        r.survives = flags & 1;
        r.prefixLost = flags & 2;
        r.overflow = flags & 4;
        r.scored = flags & 8;
        r.values.resize(count);
        for (Value& v : r.values) {
            uint8_t kind = uint8_t(v.kind);
            if (!io(f, kind, out) || !io(f, v.integer, out) || !io(f, v.real, out) || !io(f, v.bytes, out))
                return false;
            v.kind = Value::Kind(kind);
        }
    }
    if (!out)
        truth.rows = std::move(rows);
    return true;
}

} // namespace

bool saveTruth(const GroundTruth& truth, const std::string& path)
{
    std::fstream f(path, std::ios::out | std::ios::binary | std::ios::trunc);
    return transfer(f, const_cast<GroundTruth&>(truth), true);
}

bool loadTruth(const std::string& path, GroundTruth* truth)
{
    std::fstream f(path, std::ios::in | std::ios::binary);
    return transfer(f, *truth, false);
}

namespace {

bool valuesEqual(const Value& a, const Value& b)
{
    if (a.kind != b.kind)
        return false;
    if (a.kind == Value::Kind::Real)
        return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
    return a.kind == Value::Kind::Integer ? a.integer == b.integer : a.bytes == b.bytes;
}

enum class Fit { None, Partial, WholeButRowid, Whole }; // ranked

Fit fit(const GenRow& truth, const sqlcarve::CarvedRow& row)
{
    if (truth.values.size() != row.values.size() || (row.rowid && *row.rowid != truth.rowid))
        return Fit::None;
    bool lostAlias = false, lostOther = false;
    size_t known = 0;
    for (size_t i = 0; i < row.values.size(); ++i) {
        if (row.values[i].isLost())
            (int(i) == truth.aliasColumn ? lostAlias : lostOther) = true;
        else if (!valuesEqual(row.values[i], truth.values[i]))
            return Fit::None;
        else
            ++known;
    }
    return known == 0 ? Fit::None : lostOther ? Fit::Partial : lostAlias ? Fit::WholeButRowid : Fit::Whole;
}

std::string show(const sqlcarve::CarvedRow& r)
{
    std::string s = r.table + " " + sqlcarve::sourceName(r.source) + " p" + std::to_string(r.page) + "@" + std::to_string(r.offset)
                    + " rowid=" + (r.rowid ? std::to_string(*r.rowid) : "?") + " [";
    for (const Value& v : r.values)
        s += (v.isLost() ? "LOST" : v.kind == Value::Kind::Text ? "'" + v.bytes.substr(0, 24) + "'" : std::to_string(v.integer)) + ",";
    return s + "]";
}

} // namespace

Score score(const GroundTruth& truth, const std::vector<sqlcarve::CarvedRow>& rows)
{
    Score out;
    // Candidate truth rows for a carved row: by rowid when it has one, else by its first text.
    // A rowid comes back when the table's last rows were deleted: every row that had it is a candidate.
    std::map<std::pair<std::string, int64_t>, std::vector<size_t>> byRowid;
    std::unordered_map<std::string, std::vector<size_t>> byText;
    for (size_t i = 0; i < truth.rows.size(); ++i) {
        const GenRow& g = truth.rows[i];
        byRowid[{g.table, g.rowid}].push_back(i);
        for (const Value& v : g.values)
            if (v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob)
                byText[g.table + '\x01' + v.bytes].push_back(i);
    }
    std::vector<Fit> best(truth.rows.size(), Fit::None);
    std::vector<int> hits(truth.rows.size(), 0);
    auto count = [&](Precision& src, int Precision::*field, const char* what, const sqlcarve::CarvedRow& r) {
        ++(src.*field);
        ++(out.total.*field);
        if (what && out.examples.size() < 12)
            out.examples.push_back(std::string(what) + ": " + show(r));
    };
    for (const sqlcarve::CarvedRow& r : rows) {
        if (r.table == "sqlite_master")
            continue;
        Precision& src = out.bySource[sqlcarve::sourceName(r.source)];
        count(src, &Precision::reported, nullptr, r);
        std::vector<size_t> cands;
        if (r.rowid) {
            auto it = byRowid.find({r.table, *r.rowid});
            if (it != byRowid.end())
                cands = it->second;
        } else {
            const auto text = std::find_if(r.values.begin(), r.values.end(), [](const Value& v) {
                return v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob;
            });
            if (text != r.values.end() && byText.count(r.table + '\x01' + text->bytes))
                cands = byText[r.table + '\x01' + text->bytes];
            for (size_t i = 0; cands.empty() && i < truth.rows.size(); ++i)
                if (truth.rows[i].table == r.table && truth.rows[i].deleted)
                    cands.push_back(i);
        }
        size_t match = SIZE_MAX;
        Fit matchFit = Fit::None;
        for (size_t i : cands) {
            const Fit f = fit(truth.rows[i], r);
            if (f > matchFit || (f == matchFit && f != Fit::None && truth.rows[i].deleted && !truth.rows[match].deleted))
                match = i, matchFit = f;
        }
        if (match == SIZE_MAX)
            count(src, &Precision::junk, "junk", r);
        else if (!truth.rows[match].deleted)
            count(src, &Precision::live, "live", r);
        else if (hits[match]++)
            count(src, &Precision::duplicate, "duplicate", r);
        else
            count(src, &Precision::correct, nullptr, r), best[match] = std::max(best[match], matchFit);
    }
    for (size_t i = 0; i < truth.rows.size(); ++i) {
        const GenRow& g = truth.rows[i];
        if (!g.deleted || !g.survives)
            continue;
        for (Recall* rc : {&out.all, g.prefixLost ? &out.prefixLost : nullptr, g.overflow ? &out.overflow : nullptr})
            if (rc) {
                ++rc->expected;
                rc->whole += best[i] == Fit::Whole;
                rc->wholeButRowid += best[i] == Fit::WholeButRowid;
                rc->partial += best[i] == Fit::Partial;
            }
        if (best[i] == Fit::None && out.examples.size() < 24)
            out.examples.push_back("missed: " + g.table + " rowid " + std::to_string(g.rowid) + (g.prefixLost ? " (prefix lost)" : "")
                                   + (g.overflow ? " (overflow)" : ""));
    }
    return out;
}

std::string describe(const Score& s)
{
    auto pct = [](double v) {
        char buf[16];
        snprintf(buf, sizeof buf, "%.1f%%", v * 100);
        return std::string(buf);
    };
    auto recall = [&](const char* name, const Recall& r) {
        return std::string(name) + ": " + std::to_string(r.expected) + " surviving, whole " + pct(r.wholeRate())
               + ", whole but rowid " + pct(r.valuesRate()) + ", partial " + std::to_string(r.partial) + "\n";
    };
    std::string out = recall("all", s.all) + recall("prefix lost", s.prefixLost) + recall("overflow", s.overflow);
    for (const auto& [src, p] : s.bySource)
        out += "  " + src + ": reported " + std::to_string(p.reported) + ", precision " + pct(p.rate()) + " (live "
               + std::to_string(p.live) + ", duplicate " + std::to_string(p.duplicate) + ", junk " + std::to_string(p.junk) + ")\n";
    return out + "precision " + pct(s.total.rate()) + " of " + std::to_string(s.total.reported) + "\n";
}

} // namespace carvegen
