#include "evidencedb/EvidenceDatabase.h"

#include <QDir>
#include <QFile>

#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <cstring>

#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace evidencedb {

namespace {

thread_local uint64_t t_damage = 0;

void logHook(void*, int code, const char*)
{
    if ((code & 0xff) == SQLITE_CORRUPT)
        ++t_damage;
}

// SQLite takes its log hook only before its first use: set when this library is loaded.
[[maybe_unused]] const bool kHooked = [] { return sqlite3_config(SQLITE_CONFIG_LOG, logHook, nullptr) == SQLITE_OK; }();

} // namespace

uint64_t damageSeen()
{
    return t_damage;
}

QString firstDamage(const QString& path)
{
    const SqlitePtr db(openImmutable(path, nullptr, false));
    if (!db)
        return QString();
    sqlite3_stmt* st = nullptr;
    QString found;
    if (sqlite3_prepare_v2(db.get(), "pragma quick_check(1)", -1, &st, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            if (text && strcmp(text, "ok") != 0)
                found = QString::fromUtf8(text).remove(QStringLiteral("*** in database main ***")).simplified();
        } else if (rc != SQLITE_DONE) {
            found = QString::fromUtf8(sqlite3_errmsg(db.get()));
        }
    }
    sqlite3_finalize(st);
    return found;
}

QByteArray immutableUri(const QString& path)
{
    QString absolute = QFileInfo(path).absoluteFilePath();
    if (!absolute.startsWith(QLatin1Char('/')))
        absolute.prepend(QLatin1Char('/')); // drive-letter paths: "file:/C:/..."
    // '?', '#' and '%' would end or escape the path part of the URI.
    return "file:" + QUrl::toPercentEncoding(absolute, "/:") + "?immutable=1&mode=ro";
}

void SqliteCloser::operator()(sqlite3* db) const
{
    sqlite3_close(db);
}

sqlite3* openImmutable(const QString& path, QString* error, bool probe)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return nullptr;
    };
    if (path.isEmpty() || !QFileInfo::exists(path))
        return fail(QStringLiteral("%1: no such file").arg(path));
    // SQLite would block on a FIFO and read a device without end.
    const std::string kind = ibrio::irregularFileKind(QFile::encodeName(path).toStdString());
    if (!kind.empty())
        return fail(QStringLiteral("%1: %2, not read").arg(path, QString::fromLatin1(kind.c_str())));
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(immutableUri(path).constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        const QString why = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return fail(QStringLiteral("%1: %2").arg(path, why));
    }
    // Sorting a million messages by date would otherwise spill to temporary files after 2 MB;
    // the cache is taken only as it is used.
    sqlite3_exec(db, "PRAGMA cache_size=-131072", nullptr, nullptr, nullptr);
    if (!probe)
        return db;
    // Opening is lazy; the first read tells whether the file is a database at all.
    sqlite3_stmt* first = nullptr;
    const int rc = sqlite3_prepare_v2(db, "select count(*) from sqlite_master", -1, &first, nullptr);
    sqlite3_finalize(first);
    if (rc != SQLITE_OK) {
        const QString why = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return fail(QStringLiteral("%1: %2").arg(path, why));
    }
    return db;
}

Database::~Database()
{
    close();
}

void Database::close()
{
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
    if (!m_copyFolder.isEmpty()) {
        QDir(m_copyFolder).removeRecursively();
        ibrio::forgetWorkFolder(QFile::encodeName(m_copyFolder).toStdString());
    }
    m_copyFolder.clear();
}

bool Database::open(const QString& path, const char* module)
{
    close();
    m_path = path;
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        Log(module, 1, " database not found: %s", path.toUtf8().constData());
        return false;
    }
    QString why;
    m_db = openImmutable(path, &why);
    if (!m_db) {
        Log(module, 0, "Fail to read db file: %s (%s)", path.toUtf8().constData(), why.toUtf8().constData());
        return false;
    }
    return true;
}

bool makeLiveCopy(const QString& database, const QString& wal, const QString& copy, std::string* why)
{
    std::string reason;
    const auto copyTo = [&reason](const QString& from, const QString& to) {
        return ibrio::copyFile(QFile::encodeName(from).toStdString(), QFile::encodeName(to).toStdString(), &reason);
    };
    bool ok = copyTo(database, copy) && copyTo(wal, copy + QStringLiteral("-wal"));
    if (ok) {
        // Read-write on the copy only: SQLite applies the -wal there. Leaving WAL mode folds it
        // into the copy, so later readers may open the copy immutable like any evidence.
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(copy).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        const SqlitePtr db(raw);
        ok = rc == SQLITE_OK && sqlite3_exec(raw, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) == SQLITE_OK
            && sqlite3_exec(raw, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!ok)
            reason = raw ? sqlite3_errmsg(raw) : "out of memory";
    }
    if (!ok && why)
        *why = reason;
    return ok;
}

LiveCopies::~LiveCopies()
{
    if (!m_folder.isEmpty()) {
        QDir(m_folder).removeRecursively();
        ibrio::forgetWorkFolder(QFile::encodeName(m_folder).toStdString());
    }
}

QString LiveCopies::readablePath(const QString& database, const QString& wal, QString* error)
{
    if (wal.isEmpty() || !QFileInfo(wal).isFile() || QFileInfo(wal).size() == 0 || !QFileInfo(database).isFile())
        return database;
    for (const auto& known : m_copies)
        if (known.first == database)
            return known.second;
    std::string why;
    if (m_folder.isEmpty())
        m_folder = QFile::decodeName(ibrio::createWorkFolder(&why).c_str());
    if (!m_folder.isEmpty()) {
        const QString copy = QDir(m_folder).filePath(QStringLiteral("live-%1.db").arg(m_copies.size()));
        if (makeLiveCopy(database, wal, copy, &why)) {
            m_copies.append({database, copy});
            return copy;
        }
        QFile::remove(copy);
        QFile::remove(copy + QStringLiteral("-wal"));
        QFile::remove(copy + QStringLiteral("-shm"));
    }
    if (error)
        *error = QString::fromStdString(why);
    return database;
}

bool Database::openLive(const QString& path, const char* module)
{
    close();
    const QString wal = path + QStringLiteral("-wal");
    if (!QFileInfo(path).isFile() || !QFileInfo(wal).isFile() || QFileInfo(wal).size() == 0)
        return open(path, module);
    m_path = path;
    // Named like every working folder, so a run killed meanwhile leaves nothing for good.
    std::string why;
    m_copyFolder = QFile::decodeName(ibrio::createWorkFolder(&why).c_str());
    const QString copy = QDir(m_copyFolder).filePath(QStringLiteral("live.db"));
    if (!m_copyFolder.isEmpty() && makeLiveCopy(path, wal, copy, &why)) {
        QString error;
        m_db = openImmutable(copy, &error);
        if (m_db)
            return true;
        why = error.toStdString();
    }
    Log(module, 0, "Live rows of %s read without its WAL: %s", path.toUtf8().constData(), why.c_str());
    const QString folder = m_copyFolder;
    m_copyFolder.clear();
    if (!folder.isEmpty()) {
        QDir(folder).removeRecursively();
        ibrio::forgetWorkFolder(QFile::encodeName(folder).toStdString());
    }
    return open(path, module);
}

bool Database::hasTable(const char* table) const
{
    Statement s(*this, QByteArray("select 1 from sqlite_master where type = 'table' and name = '") + table + "' collate nocase");
    return s.ok() && s.next();
}

bool Database::hasColumn(const char* table, const char* column) const
{
    Statement s(*this, QByteArray("pragma table_info('") + table + "')");
    while (s.ok() && s.next())
        if (s.text(1).compare(column, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

Statement::Statement(const Database& db, const QByteArray& sql) : Statement(db.handle(), sql) {}

Statement::Statement(sqlite3* db, const QByteArray& sql)
{
    if (!db)
        return;
    // A statement that does not fit the schema is normal (older layouts); the caller decides
    // whether that is worth a line.
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &m_stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

bool Statement::next()
{
    if (!m_stmt)
        return false;
    m_last = sqlite3_step(m_stmt);
    return m_last == SQLITE_ROW;
}

bool Statement::failed() const
{
    return m_last != SQLITE_OK && m_last != SQLITE_ROW && m_last != SQLITE_DONE;
}

void Statement::bind(int index, qint64 value)
{
    if (m_stmt)
        sqlite3_bind_int64(m_stmt, index, value);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

qint64 Statement::int64(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

QByteArray Statement::text(int column) const
{
    if (isNull(column))
        return QByteArray();
    const unsigned char* t = sqlite3_column_text(m_stmt, column);
    const int n = sqlite3_column_bytes(m_stmt, column);
    return t ? QByteArray(reinterpret_cast<const char*>(t), n) : QByteArray("");
}

QByteArray Statement::blob(int column) const
{
    const void* b = sqlite3_column_blob(m_stmt, column);
    const int n = sqlite3_column_bytes(m_stmt, column);
    return b && n > 0 ? QByteArray(static_cast<const char*>(b), n) : QByteArray();
}

} // namespace evidencedb
