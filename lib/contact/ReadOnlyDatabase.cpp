#include "ReadOnlyDatabase_p.h"

#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include "utility/Log.h"

namespace contactdb {

static const char kModule[] = "BackupContact";

QByteArray immutableUri(const QString& path)
{
    QString absolute = QFileInfo(path).absoluteFilePath();
    if (!absolute.startsWith(QLatin1Char('/')))
        absolute.prepend(QLatin1Char('/')); // drive-letter paths: "file:/C:/..."
    // '?', '#' and '%' would end or escape the path part of the URI.
    return "file:" + QUrl::toPercentEncoding(absolute, "/:") + "?immutable=1&mode=ro";
}

ReadOnlyDatabase::~ReadOnlyDatabase()
{
    if (m_db)
        sqlite3_close(m_db);
}

bool ReadOnlyDatabase::open(const QString& path)
{
    m_path = path;
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        Log(kModule, 1, " database not found: %s", path.toUtf8().constData());
        return false;
    }
    const QByteArray uri = immutableUri(path);
    if (sqlite3_open_v2(uri.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        Log(kModule, 0, "Fail to open db file: %s", path.toUtf8().constData());
        if (m_db)
            sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    // Opening is lazy; the first read tells whether the file is a database at all.
    sqlite3_stmt* probe = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, "select count(*) from sqlite_master", -1, &probe, nullptr);
    sqlite3_finalize(probe);
    if (rc != SQLITE_OK) {
        Log(kModule, 0, "Fail to read db file: %s (%s)", path.toUtf8().constData(), sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    return true;
}

bool ReadOnlyDatabase::hasTable(const char* table) const
{
    Statement s(*this, QByteArray("select 1 from sqlite_master where type = 'table' and name = '") + table + "'");
    return s.ok() && s.next();
}

bool ReadOnlyDatabase::hasColumn(const char* table, const char* column) const
{
    Statement s(*this, QByteArray("pragma table_info('") + table + "')");
    while (s.ok() && s.next())
        if (s.text(1).compare(column, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

Statement::Statement(const ReadOnlyDatabase& db, const QByteArray& sql)
{
    if (!db.handle())
        return;
    if (sqlite3_prepare_v2(db.handle(), sql.constData(), -1, &m_stmt, nullptr) != SQLITE_OK) {
        Log(kModule, 1, " cannot prepare \"%s\" for %s: %s", sql.constData(), db.path().toUtf8().constData(),
            sqlite3_errmsg(db.handle()));
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
    return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW;
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

} // namespace contactdb
