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
#include <random>
#include <set>
#include <unordered_map>

namespace carvegen {

using sqlcarve::Value;

const char* modeName(Mode mode)
{
    switch (mode) {
    case Mode::Rollback: return "rollback";
    case Mode::Wal: return "wal";
    case Mode::PersistJournal: return "persist-journal";
    }
    return "?";
}

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
    bool notNull = false;
    bool alias = false;
    bool unique = false;
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

bool exec(sqlite3* db, const std::string& sql, std::string* error)
{
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        if (error)
            *error = sql.substr(0, 60) + ": " + (msg ? msg : "?");
        sqlite3_free(msg);
        return false;
    }
    return true;
}

std::vector<TableInfo> readTables(sqlite3* db)
{
    std::vector<TableInfo> out;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name, sql FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
                       "AND sql NOT LIKE '%VIRTUAL%' AND sql NOT LIKE '%WITHOUT ROWID%' ORDER BY rowid",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
        TableInfo t;
        t.name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const std::string sql = upper(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        out.push_back(t);
        out.back().columns.clear();
        (void)sql;
    }
    sqlite3_finalize(st);
    for (TableInfo& t : out) {
        sqlite3_stmt* ti = nullptr;
        sqlite3_prepare_v2(db, ("PRAGMA table_info(\"" + t.name + "\")").c_str(), -1, &ti, nullptr);
        int pkCount = 0, pkCol = -1;
        while (sqlite3_step(ti) == SQLITE_ROW) {
            ColumnInfo c;
            c.name = reinterpret_cast<const char*>(sqlite3_column_text(ti, 1));
            const unsigned char* ty = sqlite3_column_text(ti, 2);
            c.type = ty ? reinterpret_cast<const char*>(ty) : "";
            c.notNull = sqlite3_column_int(ti, 3) != 0;
            if (sqlite3_column_int(ti, 5) > 0) {
                ++pkCount;
                pkCol = int(t.columns.size());
            }
            t.columns.push_back(c);
        }
        sqlite3_finalize(ti);
        if (pkCount == 1 && upper(t.columns[size_t(pkCol)].type) == "INTEGER") {
            t.alias = pkCol;
            t.columns[size_t(pkCol)].alias = true;
        }
        // Columns under a UNIQUE index get values that cannot repeat.
        sqlite3_stmt* il = nullptr;
        sqlite3_prepare_v2(db, ("PRAGMA index_list(\"" + t.name + "\")").c_str(), -1, &il, nullptr);
        std::vector<std::string> uniqueIdx;
        while (sqlite3_step(il) == SQLITE_ROW)
            if (sqlite3_column_int(il, 2))
                uniqueIdx.push_back(reinterpret_cast<const char*>(sqlite3_column_text(il, 1)));
        sqlite3_finalize(il);
        for (const std::string& idx : uniqueIdx) {
            sqlite3_stmt* ii = nullptr;
            sqlite3_prepare_v2(db, ("PRAGMA index_info(\"" + idx + "\")").c_str(), -1, &ii, nullptr);
            while (sqlite3_step(ii) == SQLITE_ROW) {
                const int cid = sqlite3_column_int(ii, 1);
                if (cid >= 0 && cid < int(t.columns.size()))
                    t.columns[size_t(cid)].unique = true;
            }
            sqlite3_finalize(ii);
        }
    }
    return out;
}

enum class Aff { Integer, Text, Blob, Real, Numeric };
Aff affinity(const std::string& type)
{
    const std::string u = upper(type);
    if (u.find("INT") != std::string::npos)
        return Aff::Integer;
    if (u.find("CHAR") != std::string::npos || u.find("CLOB") != std::string::npos || u.find("TEXT") != std::string::npos)
        return Aff::Text;
    if (u.empty() || u.find("BLOB") != std::string::npos)
        return Aff::Blob;
    if (u.find("REAL") != std::string::npos || u.find("FLOA") != std::string::npos || u.find("DOUB") != std::string::npos)
        return Aff::Real;
    return Aff::Numeric;
}

const char* const kWords[] = {"call", "me", "later", "ok", "see", "you", "at", "the", "station", "tomorrow", "thanks",
                              "dinner", "Grüße", "naïve", "café", "日本", "привет", "😀", "meeting", "moved", "to", "noon"};

std::string makeText(std::mt19937& rng, const std::string& token, size_t target)
{
    std::string s = token;
    std::uniform_int_distribution<size_t> w(0, std::size(kWords) - 1);
    while (s.size() < target) {
        s += ' ';
        s += kWords[w(rng)];
    }
    return s;
}

Value readValue(sqlite3_stmt* st, int i)
{
    Value v;
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
        v.kind = Value::Kind::Null;
        break;
    case SQLITE_INTEGER:
        v.kind = Value::Kind::Integer;
        v.integer = sqlite3_column_int64(st, i);
        break;
    case SQLITE_FLOAT:
        v.kind = Value::Kind::Real;
        v.real = sqlite3_column_double(st, i);
        break;
    case SQLITE_TEXT:
        v.kind = Value::Kind::Text;
        v.bytes.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), size_t(sqlite3_column_bytes(st, i)));
        break;
    default:
        v.kind = Value::Kind::Blob;
        v.bytes.assign(static_cast<const char*>(sqlite3_column_blob(st, i)), size_t(sqlite3_column_bytes(st, i)));
        break;
    }
    return v;
}

void putVarint(std::string& out, uint64_t v)
{
    uint8_t buf[10];
    if (v >> 56) {
        buf[8] = uint8_t(v);
        v >>= 8;
        for (int i = 7; i >= 0; --i) {
            buf[i] = uint8_t((v & 0x7f) | 0x80);
            v >>= 7;
        }
        out.append(reinterpret_cast<char*>(buf), 9);
        return;
    }
    int n = 0;
    do {
        buf[n++] = uint8_t((v & 0x7f) | 0x80);
        v >>= 7;
    } while (v);
    buf[0] &= 0x7f;
    for (int i = n - 1; i >= 0; --i)
        out += char(buf[i]);
}

// The record SQLite writes for these values: serial types in `header`, values in `body`.
void encodeRecord(const GenRow& row, const std::string& encoding, std::string* header, std::string* body)
{
    std::string types;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const Value& v = row.values[i];
        if (int(i) == row.aliasColumn || v.kind == Value::Kind::Null) {
            types += char(0);
            continue;
        }
        if (v.kind == Value::Kind::Integer) {
            const int64_t x = v.integer;
            if (x == 0 || x == 1) {
                types += char(x == 0 ? 8 : 9);
                continue;
            }
            const uint64_t u = x < 0 ? ~uint64_t(x) : uint64_t(x);
            int type, size;
            if (u <= 127) { type = 1; size = 1; }
            else if (u <= 32767) { type = 2; size = 2; }
            else if (u <= 8388607) { type = 3; size = 3; }
            else if (u <= 2147483647) { type = 4; size = 4; }
            else if (u <= 0x7fffffffffffull) { type = 5; size = 6; }
            else { type = 6; size = 8; }
            types += char(type);
            for (int b = size - 1; b >= 0; --b)
                body->push_back(char(uint64_t(x) >> (8 * b)));
        } else if (v.kind == Value::Kind::Real) {
            types += char(7);
            uint64_t bits;
            std::memcpy(&bits, &v.real, 8);
            for (int b = 7; b >= 0; --b)
                body->push_back(char(bits >> (8 * b)));
        } else {
            std::string bytes = v.bytes;
            if (v.kind == Value::Kind::Text && encoding != "UTF-8") {
                const QString s = QString::fromUtf8(v.bytes.data(), int(v.bytes.size()));
                bytes.clear();
                for (QChar c : s) {
                    const uint16_t u = c.unicode();
                    if (encoding == "UTF-16be") {
                        bytes += char(u >> 8);
                        bytes += char(u & 0xff);
                    } else {
                        bytes += char(u & 0xff);
                        bytes += char(u >> 8);
                    }
                }
            }
            putVarint(types, uint64_t(bytes.size()) * 2 + (v.kind == Value::Kind::Text ? 13 : 12));
            *body += bytes;
        }
    }
    header->clear();
    uint64_t hsize = types.size() + 1;
    if (hsize >= 128)
        ++hsize;
    putVarint(*header, hsize);
    *header += types;
}

uint64_t window16(const uint8_t* p)
{
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    return h ^ (h >> 29);
}

// Finds which byte patterns (each at least 16 bytes) occur anywhere in the files.
class PatternSearch
{
public:
    static constexpr size_t kWindow = 16;
    int add(const std::string& pattern)
    {
        const int id = int(m_patterns.size());
        m_patterns.push_back(pattern);
        m_found.push_back(false);
        const uint64_t h = window16(reinterpret_cast<const uint8_t*>(pattern.data()));
        m_index[h].push_back(id);
        m_filter[(h >> 40) & kFilterMask] = true;
        return id;
    }
    void scan(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return;
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
        if (data.size() < kWindow)
            return;
        for (size_t i = 0; i + kWindow <= data.size(); ++i) {
            const uint64_t h = window16(p + i);
            if (!m_filter[(h >> 40) & kFilterMask])
                continue;
            auto it = m_index.find(h);
            if (it == m_index.end())
                continue;
            for (int id : it->second) {
                const std::string& pat = m_patterns[size_t(id)];
                if (!m_found[size_t(id)] && i + pat.size() <= data.size() && std::memcmp(p + i, pat.data(), pat.size()) == 0)
                    m_found[size_t(id)] = true;
            }
        }
    }
    bool found(int id) const { return id >= 0 && m_found[size_t(id)]; }

private:
    static constexpr uint64_t kFilterMask = (1u << 24) - 1;
    std::vector<std::string> m_patterns;
    std::vector<bool> m_found;
    std::unordered_map<uint64_t, std::vector<int>> m_index;
    std::vector<bool> m_filter = std::vector<bool>(size_t(1) << 24);
};

uint32_t localPayload(uint64_t payload, uint32_t usable)
{
    const uint64_t maxLocal = usable - 35;
    const uint64_t minLocal = ((usable - 12) * 32 / 255) - 23;
    if (payload <= maxLocal)
        return uint32_t(payload);
    const uint64_t k = minLocal + (payload - minLocal) % (usable - 4);
    return uint32_t(k <= maxLocal ? k : minLocal);
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
    if (sqlite3_open(work.c_str(), &db) != SQLITE_OK) {
        *error = "cannot create " + work;
        sqlite3_close(db);
        return false;
    }
    auto fail = [&](const std::string& e) {
        *error = e;
        sqlite3_close(db);
        return false;
    };
    std::string e;
    exec(db, "PRAGMA page_size=" + std::to_string(sc.pageSize), nullptr);
    exec(db, "PRAGMA encoding='" + sc.encoding + "'", nullptr);
    exec(db, "PRAGMA secure_delete=OFF", nullptr);
    exec(db, "PRAGMA synchronous=OFF", nullptr); // the file format is the same, only faster to build
    exec(db, "PRAGMA auto_vacuum=NONE", nullptr);
    const char* jm = sc.mode == Mode::Wal ? "WAL" : sc.mode == Mode::PersistJournal ? "PERSIST" : "DELETE";
    exec(db, std::string("PRAGMA journal_mode=") + jm, nullptr);
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
                exec(db, s.toStdString(), nullptr); // statements only the device can run are skipped
    }
    std::vector<TableInfo> tables = readTables(db);
    tables.erase(std::remove_if(tables.begin(), tables.end(),
                                [&](const TableInfo& t) {
                                    return t.columns.size() < 2 || (!sc.onlyTable.empty() && t.name != sc.onlyTable);
                                }),
                 tables.end());
    if (tables.empty())
        return fail("layout has no tables");

    std::mt19937 rng(sc.seed);
    truth->rows.clear();
    truth->columns.clear();
    for (const TableInfo& t : tables)
        for (const ColumnInfo& c : t.columns)
            truth->columns[t.name].push_back(c.name);

    // Wider tables get more rows, as message tables do on a phone.
    std::vector<double> weights;
    for (const TableInfo& t : tables)
        weights.push_back(double(t.columns.size()));
    std::discrete_distribution<size_t> pickTable(weights.begin(), weights.end());

    std::vector<sqlite3_stmt*> inserts(tables.size()), selects(tables.size()), deletes(tables.size());
    for (size_t i = 0; i < tables.size(); ++i) {
        std::string cols, marks;
        for (size_t c = 0; c < tables[i].columns.size(); ++c) {
            cols += (c ? ",\"" : "\"") + tables[i].columns[c].name + "\"";
            marks += c ? ",?" : "?";
        }
        const std::string q = "\"" + tables[i].name + "\"";
        sqlite3_prepare_v2(db, ("INSERT OR IGNORE INTO " + q + "(" + cols + ") VALUES(" + marks + ")").c_str(), -1, &inserts[i], nullptr);
        sqlite3_prepare_v2(db, ("SELECT * FROM " + q + " WHERE rowid=?").c_str(), -1, &selects[i], nullptr);
        sqlite3_prepare_v2(db, ("DELETE FROM " + q + " WHERE rowid=?").c_str(), -1, &deletes[i], nullptr);
        if (!inserts[i] || !selects[i] || !deletes[i])
            return fail("cannot prepare statements for " + tables[i].name);
    }
    std::vector<size_t> rowTable;
    auto insertRow = [&](int n) {
        const size_t ti = pickTable(rng);
        const TableInfo& t = tables[ti];
        sqlite3_stmt* st = inserts[ti];
        sqlite3_reset(st);
        for (size_t c = 0; c < t.columns.size(); ++c) {
            const ColumnInfo& col = t.columns[c];
            const int idx = int(c) + 1;
            if (col.alias) {
                sqlite3_bind_null(st, idx);
                continue;
            }
            if (!col.notNull && !col.unique && rng() % 10 == 0) {
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
                if (rng() % 8 == 0)
                    v = -v;
                sqlite3_bind_int64(st, idx, v);
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
        rowTable.push_back(ti);
    };
    auto deleteRow = [&](size_t r) {
        sqlite3_stmt* st = deletes[rowTable[r]];
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, truth->rows[r].rowid);
        sqlite3_step(st);
        truth->rows[r].deleted = true;
    };

    const int perCommit = std::max(1, sc.rowsPerCommit);
    if (sc.mode == Mode::Wal && !sc.bulk) {
        // Thousands of commits, deletions interleaved with later inserts.
        std::vector<size_t> pending;
        for (int n = 0; n < sc.rows;) {
            exec(db, "BEGIN", nullptr);
            for (int k = 0; k < perCommit && n < sc.rows; ++k, ++n)
                insertRow(n);
            exec(db, "COMMIT", nullptr);
            if (!truth->rows.empty() && std::uniform_real_distribution<double>(0, 1)(rng) < sc.deleteFraction * perCommit) {
                const size_t r = rng() % truth->rows.size();
                if (!truth->rows[r].deleted) {
                    exec(db, "BEGIN", nullptr);
                    deleteRow(r);
                    exec(db, "COMMIT", nullptr);
                }
            }
        }
    } else {
        exec(db, "BEGIN", nullptr);
        for (int n = 0; n < sc.rows; ++n) {
            insertRow(n);
            if (!sc.bulk && (n + 1) % perCommit == 0) {
                exec(db, "COMMIT", nullptr);
                exec(db, "BEGIN", nullptr);
            }
        }
        exec(db, "COMMIT", nullptr);
        std::vector<size_t> order(truth->rows.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        order.resize(size_t(double(order.size()) * sc.deleteFraction));
        if (sc.mode == Mode::PersistJournal)
            exec(db, "PRAGMA secure_delete=ON", nullptr); // only the journal keeps the deleted rows
        // Deletions in batches, each in rowid order as a DELETE ... WHERE would do.
        const size_t batch = sc.bulk || sc.mode == Mode::PersistJournal ? order.size() : 50;
        for (size_t i = 0; i < order.size(); i += batch) {
            const size_t end = std::min(order.size(), i + batch);
            std::sort(order.begin() + long(i), order.begin() + long(end));
            exec(db, "BEGIN", nullptr);
            for (size_t k = i; k < end; ++k)
                deleteRow(order[k]);
            exec(db, "COMMIT", nullptr);
        }
    }
    for (size_t i = 0; i < tables.size(); ++i) {
        sqlite3_finalize(inserts[i]);
        sqlite3_finalize(selects[i]);
        sqlite3_finalize(deletes[i]);
    }

    // Snapshot the files while the connection is open, so the -wal is not checkpointed away.
    truth->dbPath = folder + "/" + base;
    truth->walPath.clear();
    truth->journalPath.clear();
    QFile::remove(QString::fromStdString(truth->dbPath + "-wal"));
    QFile::remove(QString::fromStdString(truth->dbPath + "-journal"));
    if (!copyFile(work, truth->dbPath))
        return fail("cannot copy " + work);
    if (QFile::exists(QString::fromStdString(work + "-wal"))) {
        truth->walPath = truth->dbPath + "-wal";
        copyFile(work + "-wal", truth->walPath);
    }
    if (QFile::exists(QString::fromStdString(work + "-journal"))) {
        truth->journalPath = truth->dbPath + "-journal";
        copyFile(work + "-journal", truth->journalPath);
    }
    sqlite3_close(db);

    // Which deleted rows still have their bytes somewhere.
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
        encodeRecord(row, sc.encoding, &header, &body);
        const uint64_t payload = header.size() + body.size();
        const uint32_t local = localPayload(payload, usable);
        row.overflow = local < payload;
        const size_t bodyLocal = local - header.size();
        if (bodyLocal < PatternSearch::kWindow)
            continue;
        row.scored = true;
        ids[r].body = search.add(body.substr(0, bodyLocal));
        if (row.overflow) {
            size_t lastChunk = (payload - local) % (usable - 4);
            if (lastChunk == 0)
                lastChunk = usable - 4;
            if (lastChunk >= PatternSearch::kWindow)
                ids[r].tail = search.add(body.substr(body.size() - lastChunk));
        }
        std::string cell;
        putVarint(cell, payload);
        putVarint(cell, uint64_t(row.rowid));
        cell += header;
        cell += body.substr(0, std::min<size_t>(bodyLocal, 16));
        ids[r].cell = search.add(cell);
    }
    for (const std::string& p : {truth->dbPath, truth->walPath, truth->journalPath})
        if (!p.empty())
            search.scan(p);
    for (size_t r = 0; r < truth->rows.size(); ++r) {
        GenRow& row = truth->rows[r];
        if (!row.scored)
            continue;
        row.survives = search.found(ids[r].body) && (!row.overflow || ids[r].tail < 0 || search.found(ids[r].tail));
        row.prefixLost = row.survives && !search.found(ids[r].cell);
    }
    return true;
}

namespace {

template <typename T> void put(std::ofstream& out, const T& v) { out.write(reinterpret_cast<const char*>(&v), sizeof v); }
void putString(std::ofstream& out, const std::string& s)
{
    put(out, uint64_t(s.size()));
    out.write(s.data(), std::streamsize(s.size()));
}
template <typename T> bool get(std::ifstream& in, T& v) { return bool(in.read(reinterpret_cast<char*>(&v), sizeof v)); }
bool getString(std::ifstream& in, std::string& s)
{
    uint64_t n = 0;
    if (!get(in, n) || n > (1u << 30))
        return false;
    s.resize(n);
    return bool(in.read(&s[0], std::streamsize(n)));
}

} // namespace

bool saveTruth(const GroundTruth& truth, const std::string& path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    putString(out, truth.dbPath);
    putString(out, truth.walPath);
    putString(out, truth.journalPath);
    uint64_t n = 0;
    for (const GenRow& r : truth.rows)
        n += r.deleted;
    put(out, n);
    for (const GenRow& r : truth.rows) {
        if (!r.deleted)
            continue;
        putString(out, r.table);
        put(out, r.rowid);
        put(out, int32_t(r.aliasColumn));
        put(out, uint8_t(r.survives | r.prefixLost << 1 | r.overflow << 2 | r.scored << 3));
        put(out, uint32_t(r.values.size()));
        for (const Value& v : r.values) {
            put(out, uint8_t(v.kind));
            put(out, v.integer);
            put(out, v.real);
            putString(out, v.bytes);
        }
    }
    return bool(out);
}

bool loadTruth(const std::string& path, GroundTruth* truth)
{
    std::ifstream in(path, std::ios::binary);
    uint64_t n = 0;
    if (!getString(in, truth->dbPath) || !getString(in, truth->walPath) || !getString(in, truth->journalPath) || !get(in, n))
        return false;
    truth->rows.clear();
    truth->rows.reserve(size_t(n));
    for (uint64_t i = 0; i < n; ++i) {
        GenRow r;
        int32_t alias = 0;
        uint8_t flags = 0;
        uint32_t count = 0;
        if (!getString(in, r.table) || !get(in, r.rowid) || !get(in, alias) || !get(in, flags) || !get(in, count) || count > 4096)
            return false;
        r.aliasColumn = alias;
        r.deleted = true;
        r.survives = flags & 1;
        r.prefixLost = flags & 2;
        r.overflow = flags & 4;
        r.scored = flags & 8;
        r.values.resize(count);
        for (Value& v : r.values) {
            uint8_t kind = 0;
            if (!get(in, kind) || !get(in, v.integer) || !get(in, v.real) || !getString(in, v.bytes))
                return false;
            v.kind = Value::Kind(kind);
        }
        truth->rows.push_back(std::move(r));
    }
    return true;
}

bool valuesEqual(const Value& a, const Value& b)
{
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case Value::Kind::Null:
    case Value::Kind::Lost:
        return true;
    case Value::Kind::Integer:
        return a.integer == b.integer;
    case Value::Kind::Real:
        return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
    case Value::Kind::Text:
    case Value::Kind::Blob:
        return a.bytes == b.bytes;
    }
    return false;
}

namespace {

enum class Fit { None, Whole, WholeButRowid, Partial };

Fit fit(const GenRow& truth, const sqlcarve::CarvedRow& row)
{
    if (truth.values.size() != row.values.size())
        return Fit::None;
    if (row.rowid && *row.rowid != truth.rowid)
        return Fit::None;
    bool lostAlias = false, lostOther = false;
    size_t known = 0;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const Value& v = row.values[i];
        if (v.isLost()) {
            (int(i) == truth.aliasColumn ? lostAlias : lostOther) = true;
            continue;
        }
        Value expected = truth.values[i];
        if (!valuesEqual(v, expected))
            return Fit::None;
        ++known;
    }
    if (known == 0)
        return Fit::None;
    if (lostOther)
        return Fit::Partial;
    return lostAlias ? Fit::WholeButRowid : Fit::Whole;
}

std::string show(const sqlcarve::CarvedRow& r)
{
    std::string s = r.table + " " + sqlcarve::sourceName(r.source) + " p" + std::to_string(r.page) + "@" + std::to_string(r.offset)
                    + " rowid=" + (r.rowid ? std::to_string(*r.rowid) : "?") + " [";
    for (const Value& v : r.values) {
        switch (v.kind) {
        case Value::Kind::Null: s += "NULL"; break;
        case Value::Kind::Lost: s += "LOST"; break;
        case Value::Kind::Integer: s += std::to_string(v.integer); break;
        case Value::Kind::Real: s += std::to_string(v.real); break;
        case Value::Kind::Text: s += "'" + v.bytes.substr(0, 24) + "'"; break;
        case Value::Kind::Blob: s += "blob" + std::to_string(v.bytes.size()); break;
        }
        s += ",";
    }
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
    auto rank = [](Fit f) { return f == Fit::Whole ? 3 : f == Fit::WholeButRowid ? 2 : f == Fit::Partial ? 1 : 0; };
    std::vector<int> hits(truth.rows.size(), 0);
    for (const sqlcarve::CarvedRow& r : rows) {
        if (r.table == "sqlite_master")
            continue;
        Precision& src = out.bySource[sqlcarve::sourceName(r.source)];
        ++src.reported;
        ++out.total.reported;
        std::vector<size_t> cands;
        if (r.rowid) {
            auto it = byRowid.find({r.table, *r.rowid});
            if (it != byRowid.end())
                cands = it->second;
        } else {
            for (const Value& v : r.values)
                if (v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob) {
                    auto it = byText.find(r.table + '\x01' + v.bytes);
                    if (it != byText.end())
                        cands = it->second;
                    break;
                }
            if (cands.empty())
                for (size_t i = 0; i < truth.rows.size(); ++i)
                    if (truth.rows[i].table == r.table && truth.rows[i].deleted)
                        cands.push_back(i);
        }
        size_t match = SIZE_MAX;
        Fit matchFit = Fit::None;
        for (size_t i : cands) {
            const Fit f = fit(truth.rows[i], r);
            if (rank(f) > rank(matchFit) || (rank(f) == rank(matchFit) && f != Fit::None && truth.rows[i].deleted
                                             && !truth.rows[match].deleted)) {
                match = i;
                matchFit = f;
            }
        }
        if (match == SIZE_MAX) {
            ++src.junk;
            ++out.total.junk;
            if (out.examples.size() < 12)
                out.examples.push_back("junk: " + show(r));
            continue;
        }
        const GenRow& g = truth.rows[match];
        if (!g.deleted) {
            ++src.live;
            ++out.total.live;
            if (out.examples.size() < 12)
                out.examples.push_back("live: " + show(r));
            continue;
        }
        if (hits[match]++) {
            ++src.duplicate;
            ++out.total.duplicate;
            if (out.examples.size() < 12)
                out.examples.push_back("duplicate: " + show(r));
            continue;
        }
        ++src.correct;
        ++out.total.correct;
        if (rank(matchFit) > rank(best[match]))
            best[match] = matchFit;
    }
    for (size_t i = 0; i < truth.rows.size(); ++i) {
        const GenRow& g = truth.rows[i];
        if (!g.deleted || !g.survives || !g.scored)
            continue;
        for (Recall* rc : {&out.all, g.prefixLost ? &out.prefixLost : nullptr, g.overflow ? &out.overflow : nullptr}) {
            if (!rc)
                continue;
            ++rc->expected;
            if (best[i] == Fit::Whole)
                ++rc->whole;
            else if (best[i] == Fit::WholeButRowid)
                ++rc->wholeButRowid;
            else if (best[i] == Fit::Partial)
                ++rc->partial;
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
    out += "precision " + pct(s.total.rate()) + " of " + std::to_string(s.total.reported) + "\n";
    return out;
}

} // namespace carvegen
