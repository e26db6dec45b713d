#include "CISQLiteQuery.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include "CIProgressCallback.h"
#include "evidencedb/EvidenceDatabase.h"
#include "utility/Log.h"

static const char kModule[] = "iTunesBackup";

namespace {

thread_local QList<CISQLiteQuery::Unfitted> t_unfitted;
thread_local QString t_lastPrepareError; // of the last statement that did not prepare

} // namespace

QList<CISQLiteQuery::Unfitted> CISQLiteQuery::takeUnfitted()
{
    QList<Unfitted> out;
    out.swap(t_unfitted);
    return out;
}

QByteArray CISQLiteQuery::immutableUri(const QString& path)
{
    return evidencedb::immutableUri(path);
}

sqlite3* CISQLiteQuery::openReadOnly(const QString& path)
{
    // Whether it is a database at all is left to the statements, which tell the two failures apart.
    return evidencedb::openImmutable(path, nullptr, false);
}

QString CISQLiteQuery::columnText(sqlite3_stmt* stmt, int column)
{
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (!text)
        return QString();
    return QString::fromUtf8(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, column));
}

int CISQLiteQuery::columnInt(sqlite3_stmt* stmt, int column)
{
    return sqlite3_column_int(stmt, column);
}

void CISQLiteQuery::run(const QStringList& dbPaths, CIProgressCallback* progress)
{
    QString dbPath;
    for (const QString& candidate : dbPaths) {
        if (QFile::exists(candidate)) {
            dbPath = candidate;
            break;
        }
        Log(kModule, 0, "Not exists: %s", candidate.toUtf8().constData());
    }
    if (dbPath.isEmpty())
        return;

    const int total = countRows(dbPath, m_countSqls);
    if (total == -1 && !m_optional)
        t_unfitted.append({dbPath, t_lastPrepareError});
    if (total <= 0)
        return;
    m_pProgress = progress;
    if (progress)
        m_step = double(progress->range()) / double(total);
    for (const QString& sql : m_sqls)
        if (queryRows(this, dbPath, sql) != -1)
            return;
    if (!m_sqls.isEmpty() && !m_optional)
        t_unfitted.append({dbPath, t_lastPrepareError});
}

int CISQLiteQuery::countRows(const QString& dbPath, const QStringList& countSqls)
{
    const QByteArray path = dbPath.toUtf8();
    const evidencedb::SqlitePtr db(openReadOnly(dbPath));
    if (!db) {
        Log(kModule, 0, "Fail to open db file: %s", path.constData());
        return -2;
    }
    for (const QString& sql : countSqls) {
        const evidencedb::Statement stmt(db.get(), sql.toUtf8());
        if (!stmt.ok()) {
            t_lastPrepareError = QString::fromUtf8(sqlite3_errmsg(db.get()));
            Log(kModule, 0, "Fail to query sql \"%s\" for db %s", sql.toUtf8().constData(), path.constData());
            continue;
        }
        return sqlite3_step(stmt.handle()) == SQLITE_ROW ? sqlite3_column_int(stmt.handle(), 0) : 0;
    }
    return countSqls.isEmpty() ? 0 : -1;
}

int CISQLiteQuery::probeSchema(const QString& dbPath, const QString& sql)
{
    // countRows' opening, logging and answers, without stepping the statement.
    const QByteArray path = dbPath.toUtf8();
    const evidencedb::SqlitePtr db(openReadOnly(dbPath));
    if (!db) {
        Log(kModule, 0, "Fail to open db file: %s", path.constData());
        return -2;
    }
    if (!evidencedb::Statement(db.get(), sql.toUtf8()).ok()) {
        Log(kModule, 0, "Fail to query sql \"%s\" for db %s", sql.toUtf8().constData(), path.constData());
        return -1;
    }
    return 0;
}

int CISQLiteQuery::queryRows(CISQLiteQuery* query, const QString& dbPath, const QString& sql)
{
    const QByteArray path = dbPath.toUtf8();
    const evidencedb::SqlitePtr db(openReadOnly(dbPath));
    if (!db) {
        Log(kModule, 0, "Fail to open db file: %s", path.constData());
        return -2;
    }
    const evidencedb::Statement stmt(db.get(), sql.toUtf8());
    if (!stmt.ok()) {
        t_lastPrepareError = QString::fromUtf8(sqlite3_errmsg(db.get()));
        Log(kModule, 0, "Fail to query sql \"%s\" for db %s", sql.toUtf8().constData(), path.constData());
        return -1;
    }
    int rows = 0;
    while (sqlite3_step(stmt.handle()) == SQLITE_ROW) {
        if (!query || !query->handleRow(stmt.handle()))
            break;
        ++rows;
        if (query->m_pProgress && !query->m_pProgress->progress(query->m_step))
            break;
    }
    return rows;
}
