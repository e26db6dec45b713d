#include "RecoveryContext_p.h"

#include "ImageVfs_p.h"

#include "utility/Log.h"

#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace sqlrecovery {

namespace {

const char* const kModule = "SqliteRecovery";

std::string lower(const std::string& s)
{
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

std::string quoted(const std::string& identifier)
{
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

QVariant columnValue(sqlite3_stmt* st, int i)
{
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
        return QVariant(qint64(sqlite3_column_int64(st, i)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                          sqlite3_column_bytes(st, i)));
    case SQLITE_BLOB:
        return QVariant(QByteArray(static_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i)));
    default:
        return QVariant();
    }
}

} // namespace

LiveDb::LiveDb(std::shared_ptr<const sqlcarve::Image> image)
{
    open(std::move(image));
}

LiveDb::LiveDb(const QString& databasePath)
{
    if (databasePath.isEmpty() || !QFileInfo(databasePath).isFile())
        return;
    sqlcarve::Options options;
    options.keepImage = true;
    options.onRow = [](const sqlcarve::CarvedRow&) {}; // only the live rows are wanted
    open(sqlcarve::carveFile(databasePath.toStdString(), options).image);
}

void LiveDb::open(std::shared_ptr<const sqlcarve::Image> image)
{
    if (!image)
        return;
    m_name = imagevfs::add(std::move(image));
    const std::string uri = "file:" + m_name + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, imagevfs::kName) != SQLITE_OK) {
        Log(kModule, 1, " cannot read the live rows: %s", m_db ? sqlite3_errmsg(m_db) : "out of memory");
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    // Sorting and temporary tables stay in memory: the file layer serves the image alone.
    sqlite3_exec(m_db, "PRAGMA temp_store = MEMORY; PRAGMA query_only = 1", nullptr, nullptr, nullptr);
}

LiveDb::~LiveDb()
{
    // Statements go before the database closes.
    for (auto& entry : m_statements)
        sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
    if (!m_name.empty())
        imagevfs::remove(m_name);
}

sqlite3_stmt* LiveDb::prepare(const std::string& sql)
{
    if (!m_db)
        return nullptr;
    auto it = m_statements.find(sql);
    if (it != m_statements.end())
        return it->second;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), int(sql.size()), &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        st = nullptr;
    }
    m_statements[sql] = st; // failures are remembered too, so a missing table costs one attempt
    return st;
}

std::vector<std::vector<QVariant>> LiveDb::rows(const std::string& sql, const QVariantList& args)
{
    std::vector<std::vector<QVariant>> out;
    sqlite3_stmt* st = prepare(sql);
    if (!st)
        return out;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    for (int i = 0; i < args.size(); ++i) {
        const QVariant& a = args[i];
        if (a.typeId() == QMetaType::QString) {
            const QByteArray utf8 = a.toString().toUtf8();
            sqlite3_bind_text(st, i + 1, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        } else if (a.typeId() == QMetaType::Double) {
            sqlite3_bind_double(st, i + 1, a.toDouble());
        } else if (a.isValid()) {
            sqlite3_bind_int64(st, i + 1, a.toLongLong());
        }
    }
    // A damaged file may loop in its b-tree; SQLite detects that, but bound the rows anyway.
    const size_t kMaxRows = 1u << 22;
    while (sqlite3_step(st) == SQLITE_ROW && out.size() < kMaxRows) {
        std::vector<QVariant> row;
        const int n = sqlite3_column_count(st);
        row.reserve(n);
        for (int i = 0; i < n; ++i)
            row.push_back(columnValue(st, i));
        out.push_back(std::move(row));
    }
    sqlite3_reset(st);
    return out;
}

QVariant LiveDb::value(const std::string& sql, const QVariantList& args)
{
    auto r = rows(sql, args);
    if (r.empty() || r.front().empty())
        return QVariant();
    return r.front().front();
}

bool LiveDb::hasRowid(const std::string& table, int64_t rowid)
{
    return value("SELECT 1 FROM " + quoted(table) + " WHERE rowid = ?", {QVariant(qint64(rowid))}).isValid();
}

std::vector<QVariant> LiveDb::rowByRowid(const std::string& table, int64_t rowid)
{
    auto r = rows("SELECT * FROM " + quoted(table) + " WHERE rowid = ?", {QVariant(qint64(rowid))});
    return r.empty() ? std::vector<QVariant>() : r.front();
}

bool LiveDb::isAutoincrement(const std::string& table)
{
    auto it = m_autoincrement.find(table);
    if (it != m_autoincrement.end())
        return it->second;
    const QString sql = value("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE",
                              {QString::fromStdString(table)})
                            .toString();
    const bool yes = sql.contains(QLatin1String("AUTOINCREMENT"), Qt::CaseInsensitive);
    m_autoincrement[table] = yes;
    return yes;
}

bool LiveDb::hasColumn(const std::string& table, const std::string& column)
{
    for (const auto& r : rows("PRAGMA table_info(" + quoted(table) + ")"))
        if (r.size() > 1 && r[1].toString().compare(QString::fromStdString(column), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

std::vector<std::string> LiveDb::uniqueColumns(const std::string& table)
{
    std::vector<std::string> out;
    for (const auto& index : rows("SELECT name FROM pragma_index_list(?) WHERE \"unique\"", {QString::fromStdString(table)})) {
        const auto columns = rows("SELECT name FROM pragma_index_info(?)", {index.front().toString()});
        if (columns.size() == 1 && columns.front().front().isValid())
            out.push_back(columns.front().front().toString().toStdString());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

int CarvedTable::col(std::initializer_list<const char*> names) const
{
    if (!schema)
        return -1;
    for (const char* name : names) {
        const std::string want = lower(name);
        for (size_t i = 0; i < schema->columns.size(); ++i)
            if (lower(schema->columns[i].name) == want)
                return int(i);
    }
    return -1;
}

bool isKnown(const Row& row, int col)
{
    if (col < 0 || size_t(col) >= row.values.size())
        return false;
    const auto kind = row.values[size_t(col)].kind;
    return kind != sqlcarve::Value::Kind::Lost && kind != sqlcarve::Value::Kind::Null;
}

QString shownText(const Row& row, int col)
{
    if (col >= 0 && size_t(col) < row.values.size()) {
        const sqlcarve::Value& v = row.values[size_t(col)];
        if (v.isLost() && v.prefixOf == sqlcarve::Value::Kind::Text)
            return QString::fromUtf8(v.bytes.data(), int(v.bytes.size()));
    }
    return text(row, col);
}

QString text(const Row& row, int col)
{
    if (!isKnown(row, col))
        return QString();
    const sqlcarve::Value& v = row.values[size_t(col)];
    switch (v.kind) {
    case sqlcarve::Value::Kind::Text:
    case sqlcarve::Value::Kind::Blob:
        return QString::fromUtf8(v.bytes.data(), int(v.bytes.size()));
    case sqlcarve::Value::Kind::Integer:
        return QString::number(qint64(v.integer));
    case sqlcarve::Value::Kind::Real:
        return QString::number(v.real, 'g', 17);
    default:
        return QString();
    }
}

std::optional<int64_t> integer(const CarvedTable& table, const Row& row, int col)
{
    if (col >= 0 && table.schema && size_t(col) < table.schema->columns.size()
        && table.schema->columns[size_t(col)].rowidAlias) {
        if (row.rowid)
            return row.rowid;
        auto it = table.inferred.find(&row);
        if (it != table.inferred.end())
            return it->second;
    }
    if (!isKnown(row, col))
        return std::nullopt;
    const sqlcarve::Value& v = row.values[size_t(col)];
    switch (v.kind) {
    case sqlcarve::Value::Kind::Integer:
        return v.integer;
    case sqlcarve::Value::Kind::Real:
        if (std::isfinite(v.real) && std::fabs(v.real) < 9.2e18)
            return int64_t(v.real);
        return std::nullopt;
    case sqlcarve::Value::Kind::Text: {
        bool ok = false;
        const qint64 n = QString::fromUtf8(v.bytes.data(), int(v.bytes.size())).trimmed().toLongLong(&ok);
        return ok ? std::optional<int64_t>(n) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> real(const Row& row, int col)
{
    if (!isKnown(row, col))
        return std::nullopt;
    const sqlcarve::Value& v = row.values[size_t(col)];
    switch (v.kind) {
    case sqlcarve::Value::Kind::Integer:
        return double(v.integer);
    case sqlcarve::Value::Kind::Real:
        return std::isfinite(v.real) ? std::optional<double>(v.real) : std::nullopt;
    case sqlcarve::Value::Kind::Text: {
        bool ok = false;
        const double d = QString::fromUtf8(v.bytes.data(), int(v.bytes.size())).trimmed().toDouble(&ok);
        return ok ? std::optional<double>(d) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<int64_t> rowidOf(const CarvedTable& table, const Row& row)
{
    if (row.rowid)
        return row.rowid;
    auto it = table.inferred.find(&row);
    if (it != table.inferred.end())
        return it->second;
    if (table.schema)
        for (size_t i = 0; i < table.schema->columns.size(); ++i)
            if (table.schema->columns[i].rowidAlias)
                return integer(table, row, int(i));
    return std::nullopt;
}

int seconds(std::optional<double> value)
{
    if (!value)
        return 0;
    double v = *value;
    if (std::fabs(v) > 1e12) // nanoseconds since the base (newer message databases)
        v /= 1e9;
    if (v >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (v <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(v);
}

int toInt32(std::optional<int64_t> value)
{
    if (!value)
        return 0;
    return int(std::clamp<int64_t>(*value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// ---------------------------------------------------------------------------------------------

namespace {

int completeness(const Row& row)
{
    int score = 0;
    for (const auto& v : row.values)
        if (v.kind != sqlcarve::Value::Kind::Lost)
            score += 2;
    return score + (row.isWhole() ? 1 : 0);
}

bool sameValue(const sqlcarve::Value& a, const sqlcarve::Value& b)
{
    using K = sqlcarve::Value::Kind;
    if ((a.kind == K::Integer || a.kind == K::Real) && (b.kind == K::Integer || b.kind == K::Real)) {
        const double x = a.kind == K::Integer ? double(a.integer) : a.real;
        const double y = b.kind == K::Integer ? double(b.integer) : b.real;
        return x == y;
    }
    if (a.kind != b.kind)
        return false;
    return a.kind == K::Null || a.bytes == b.bytes;
}

// Every value `row` knows equals `other`'s value, and `other` knows at least as much.
bool dominatedBy(const Row& row, const Row& other)
{
    if (row.values.size() != other.values.size())
        return false;
    for (size_t i = 0; i < row.values.size(); ++i) {
        if (row.values[i].isLost())
            continue;
        if (other.values[i].isLost() || !sameValue(row.values[i], other.values[i]))
            return false;
    }
    return true;
}

bool liveEquals(const QVariant& live, const sqlcarve::Value& v)
{
    using K = sqlcarve::Value::Kind;
    switch (v.kind) {
    case K::Integer:
        return live.typeId() == QMetaType::LongLong && live.toLongLong() == v.integer;
    case K::Real:
        return (live.typeId() == QMetaType::Double || live.typeId() == QMetaType::LongLong) && live.toDouble() == v.real;
    case K::Text:
        return live.typeId() == QMetaType::QString && live.toString().toUtf8() == QByteArray::fromStdString(v.bytes);
    case K::Blob:
        return live.toByteArray() == QByteArray::fromStdString(v.bytes);
    default:
        return false;
    }
}

// At least half of the row's known texts equal the live row's; no texts at all counts as equal.
// Texts that `common` names (held by several live rows, like a country code) say nothing about
// which row this is and are left out.
bool resemblesLive(const std::vector<QVariant>& liveRow, const CarvedTable& table, const Row& row,
                   const std::function<bool(const std::string&)>& common = {}, const std::vector<size_t>& unique = {})
{
    if (liveRow.size() != row.values.size())
        return false;
    // A column no two rows share (a message's guid) names the row on its own.
    for (size_t i : unique) {
        const sqlcarve::Value& v = row.values[i];
        if (!v.isLost() && v.kind != sqlcarve::Value::Kind::Null && !liveEquals(liveRow[i], v))
            return false;
    }
    int compared = 0, equal = 0;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        if (table.schema->columns[i].rowidAlias
            || (v.kind != sqlcarve::Value::Kind::Text && v.kind != sqlcarve::Value::Kind::Blob))
            continue;
        if (common && v.kind == sqlcarve::Value::Kind::Text && common(v.bytes))
            continue;
        ++compared;
        if (liveEquals(liveRow[i], v))
            ++equal;
    }
    if (compared == 1 && equal == 1) {
        // One text alone (a page title of many visits) names no row: a time that differs says
        // this is another row.
        for (size_t i = 0; i < row.values.size(); ++i) {
            const sqlcarve::Value& v = row.values[i];
            // Whole seconds in a REAL column are stored as integers.
            const std::string type = lower(table.schema->columns[i].declaredType);
            const bool time = v.kind == sqlcarve::Value::Kind::Real
                || (v.kind == sqlcarve::Value::Kind::Integer
                    && (type.find("real") != std::string::npos || type.find("time") != std::string::npos
                        || type.find("date") != std::string::npos || type.find("float") != std::string::npos));
            if (time && liveRow[i].isValid() && liveRow[i].toDouble() != (v.kind == sqlcarve::Value::Kind::Real ? v.real : double(v.integer)))
                return false;
        }
    }
    return compared == 0 || equal * 2 >= compared;
}

// Whether a carved row that shares its rowid with a live row is an earlier version of it (an
// update moved the row) rather than a deleted row whose rowid was handed out again. Texts carry
// a row's identity; small integers (flags, defaults) match by chance too often to count. A row
// without texts (a link between two tables) is its numbers: it is a version only if they match.
bool isVersionOfLive(LiveDb& live, const CarvedTable& table, const Row& row, int64_t rowid)
{
    if (live.isAutoincrement(table.schema->name))
        return true; // rowids are never reused there
    const std::vector<QVariant> liveRow = live.rowByRowid(table.schema->name, rowid);
    if (liveRow.size() != row.values.size())
        return false;
    const bool hasText = std::any_of(row.values.begin(), row.values.end(), [](const sqlcarve::Value& v) {
        return v.kind == sqlcarve::Value::Kind::Text || v.kind == sqlcarve::Value::Kind::Blob;
    });
    if (hasText)
        return resemblesLive(liveRow, table, row);
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        if (table.schema->columns[i].rowidAlias || v.isLost())
            continue;
        if (v.kind == sqlcarve::Value::Kind::Null ? liveRow[i].isValid() : !liveEquals(liveRow[i], v))
            return false;
    }
    return true;
}

} // namespace

ScanContext::ScanContext(const sqlcarve::Result& result, LiveDb& live)
    : m_live(live)
{
    std::map<std::string, std::vector<const Row*>> byTable;
    for (const auto& t : result.tables) {
        CarvedTable& ct = m_tables[lower(t.name)];
        ct.schema = &t;
    }
    for (const auto& r : result.rows)
        (r.indexEntry ? m_indexEntries : byTable)[lower(r.table)].push_back(&r);
    for (auto& entry : byTable) {
        auto it = m_tables.find(entry.first);
        if (it == m_tables.end())
            continue; // a row the carver could not tie to a known table
        keepDeletedRows(entry.first, it->second, entry.second);
    }
}

const std::vector<const Row*>& ScanContext::indexEntries(const std::string& index) const
{
    auto it = m_indexEntries.find(lower(index));
    return it == m_indexEntries.end() ? m_noEntries : it->second;
}

void ScanContext::keepDeletedRows(const std::string& key, CarvedTable& table, std::vector<const Row*>& candidates)
{
    std::map<int64_t, const Row*> byRowid;
    std::vector<const Row*> anonymous;
    const size_t columns = table.schema->columns.size();
    for (const Row* row : candidates) {
        if (row->values.size() != columns)
            continue;
        const auto rowid = rowidOf(table, *row);
        if (!rowid) {
            anonymous.push_back(row);
            continue;
        }
        auto it = byRowid.find(*rowid);
        if (it == byRowid.end())
            byRowid.emplace(*rowid, row);
        else if (completeness(*row) > completeness(*it->second))
            it->second = row;
    }
    std::vector<const Row*> kept;
    for (auto& entry : byRowid) {
        if (m_live.isOpen() && m_live.hasRowid(table.schema->name, entry.first)
            && isVersionOfLive(m_live, table, *entry.second, entry.first))
            continue;
        kept.push_back(entry.second);
    }
    // Rows without a rowid (e.g. the first row of a merged freeblock) repeat a fuller copy when
    // every value they still have matches it; buckets by the longest text keep this linear.
    // A row without texts (a link row of two integers, say) and without a lost value can only
    // repeat a row of the same values: it is bucketed by them, and also under "" where rows that
    // lost a value and hold no text look for the copy they may repeat.
    std::unordered_map<std::string, std::vector<const Row*>> buckets;
    auto bucketKey = [](const Row& r) {
        const std::string* best = nullptr;
        bool lost = false;
        for (const auto& v : r.values) {
            lost = lost || v.isLost();
            if (v.kind == sqlcarve::Value::Kind::Text && (!best || v.bytes.size() > best->size()))
                best = &v.bytes;
        }
        if (best)
            return *best;
        if (lost)
            return std::string();
        std::string key(1, '\x01');
        for (const auto& v : r.values) {
            key += char('0' + int(v.kind));
            if (v.kind == sqlcarve::Value::Kind::Integer)
                key.append(reinterpret_cast<const char*>(&v.integer), sizeof v.integer);
            else if (v.kind == sqlcarve::Value::Kind::Real)
                key.append(reinterpret_cast<const char*>(&v.real), sizeof v.real);
            else
                key += v.bytes;
            key += '\0';
        }
        return key;
    };
    auto file = [&](const Row* r) {
        const std::string k = bucketKey(*r);
        buckets[k].push_back(r);
        if (!k.empty() && k[0] == '\x01')
            buckets[std::string()].push_back(r);
    };
    for (const Row* r : kept)
        file(r);
    std::stable_sort(anonymous.begin(), anonymous.end(),
                     [](const Row* a, const Row* b) { return completeness(*a) > completeness(*b); });
    for (const Row* r : anonymous) {
        const auto& bucket = buckets[bucketKey(*r)];
        const bool repeat = std::any_of(bucket.begin(), bucket.end(), [&](const Row* o) { return dominatedBy(*r, *o); });
        if (repeat || looksLive(table, *r))
            continue;
        file(r);
        kept.push_back(r);
    }
    table.rows = std::move(kept);
    (void)key;
}

// A row without its rowid cannot be looked up; its texts can (an edit may have changed any one
// of them, so up to three are tried). One scan of the live table collects the hashes of its
// texts so only likely matches are fetched.
bool ScanContext::looksLive(const CarvedTable& table, const Row& row)
{
    if (!m_live.isOpen())
        return false;
    std::vector<int> texts;
    for (size_t i = 0; i < row.values.size(); ++i)
        if (row.values[i].kind == sqlcarve::Value::Kind::Text && !row.values[i].bytes.empty())
            texts.push_back(int(i));
    if (texts.empty())
        return false;
    std::stable_sort(texts.begin(), texts.end(),
                     [&](int a, int b) { return row.values[size_t(a)].bytes.size() > row.values[size_t(b)].bytes.size(); });
    const std::string key = lower(table.schema->name);
    auto it = m_liveTextHashes.find(key);
    if (it == m_liveTextHashes.end()) {
        LiveTexts live;
        // WITHOUT ROWID tables have no rowid to fetch by: their texts are searched by column.
        live.byRowid = !table.schema->withoutRowid;
        const auto rows = m_live.rows(std::string(live.byRowid ? "SELECT rowid, * FROM " : "SELECT NULL, * FROM ")
                                      + quoted(table.schema->name));
        for (const auto& r : rows)
            for (size_t c = 1; c < r.size(); ++c)
                if (r[c].typeId() == QMetaType::QString) {
                    LiveText& t = live.texts[std::hash<std::string>()(r[c].toString().toStdString())];
                    ++t.rows;
                    t.rowid = r[0].toLongLong();
                }
        for (const std::string& name : m_live.uniqueColumns(table.schema->name)) {
            const int c = table.col(name.c_str());
            if (c >= 0 && size_t(c) < row.values.size())
                live.unique.push_back(size_t(c));
        }
        it = m_liveTextHashes.emplace(key, std::move(live)).first;
    }
    const LiveTexts& live = it->second;
    auto common = [&live](const std::string& s) {
        auto c = live.texts.find(std::hash<std::string>()(s));
        return c != live.texts.end() && c->second.rows > 1;
    };
    int tried = 0;
    for (int col : texts) {
        const std::string& text = row.values[size_t(col)].bytes;
        auto c = live.texts.find(std::hash<std::string>()(text));
        if (c == live.texts.end() || c->second.rows > 1)
            continue;
        const std::string column = table.schema->columns[size_t(col)].name;
        const auto candidates = live.byRowid
            ? m_live.rows("SELECT * FROM " + quoted(table.schema->name) + " WHERE rowid = ?", {QVariant(qint64(c->second.rowid))})
            : m_live.rows("SELECT * FROM " + quoted(table.schema->name) + " WHERE " + quoted(column) + " = ? LIMIT 16",
                          {QString::fromStdString(text)});
        for (const auto& liveRow : candidates)
            if (resemblesLive(liveRow, table, row, common, live.unique))
                return true;
        if (++tried == 3)
            break;
    }
    return false;
}

const CarvedTable& ScanContext::table(const std::string& name) const
{
    auto it = m_tables.find(lower(name));
    return it == m_tables.end() ? m_empty : it->second;
}

const Row* ScanContext::deletedByRowid(const std::string& name, int64_t rowid) const
{
    const std::string key = lower(name);
    auto it = m_rowidIndex.find(key);
    if (it == m_rowidIndex.end()) {
        std::map<int64_t, const Row*> index;
        const CarvedTable& t = table(key);
        for (const Row* row : t.rows)
            if (const auto id = rowidOf(t, *row))
                index.emplace(*id, row);
        it = m_rowidIndex.emplace(key, std::move(index)).first;
    }
    auto found = it->second.find(rowid);
    return found == it->second.end() ? nullptr : found->second;
}

bool ScanContext::hasTable(const std::string& name) const
{
    return m_tables.count(lower(name)) != 0;
}

// ---------------------------------------------------------------------------------------------

void RecordStore::clearType(int type)
{
    switch (type) {
    case 0:
        contacts.clear();
        properties.clear();
        break;
    case 1:
        messageGroups.clear();
        break;
    case 2:
        calls.clear();
        break;
    case 3:
        calendars.clear();
        reminders.clear();
        break;
    case 4:
        notes.clear();
        break;
    case 5:
        bookmarks.clear();
        break;
    default:
        break;
    }
}

int RecordStore::countOfType(int type) const
{
    switch (type) {
    case 0:
        return int(contacts.size());
    case 1:
        return int(messageGroups.size());
    case 2:
        return int(calls.size());
    case 3:
        return int(calendars.size() + reminders.size());
    case 4:
        return int(notes.size());
    case 5:
        return int(bookmarks.size());
    default:
        return 0;
    }
}

sqlcarve::Options carveOptions(int type)
{
    sqlcarve::Options options;
    options.placement = true;
    // Multi-values whose rows newer data took often survive as deleted entries of their indexes.
    if (type == 0)
        options.indexEntries = {"ABMultiValueRecordIDIndex", "ABMultiValuePropertyValueIndex", "ABMultiValueLabelIndex"};
    if (type == 1) {
        options.links = {{"chat_handle_join", "chat", "handle"},
                         {"chat_message_join", "chat", "message"},
                         {"message_attachment_join", "message", "attachment"}};
        // The join rows' indexes outlive them; the newer layouts' keeps the message's date too.
        options.indexEntries = {"sqlite_autoindex_chat_message_join_1", "chat_message_join_idx_message_date_id_chat_id",
                                "chat_message_join_idx_message_id", "sqlite_autoindex_message_attachment_join_1",
                                "chat_message_join_idx_chat_id", "chat_message_join_idx_message_id_only",
                                "message_attachment_join_idx_message_id", "message_attachment_join_idx_attachment_id"};
    }
    return options;
}

int mapType(int type, const sqlcarve::Result& result, const QString& databasePath, RecordStore& out, bool inferRowids,
            bool salvageLinks)
{
    LiveDb live(databasePath);
    return mapType(type, result, live, out, inferRowids, salvageLinks);
}

int mapType(int type, const sqlcarve::Result& result, LiveDb& live, RecordStore& out, bool inferRowids, bool salvageLinks)
{
    ScanContext ctx(result, live);
    ctx.setInferRowids(inferRowids);
    ctx.setSalvageLinks(salvageLinks);
    switch (type) {
    case 0:
        return mapContacts(ctx, out);
    case 1:
        return mapMessages(ctx, out);
    case 2:
        return mapCalls(ctx, out);
    case 3:
        return mapCalendar(ctx, out) + mapReminderStore(ctx, out);
    case 4:
        return mapNotes(ctx, out);
    case 5:
        return mapBookmarks(ctx, out);
    default:
        return 0;
    }
}

} // namespace sqlrecovery
