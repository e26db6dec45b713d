#include "CISQLiteQuery.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include "CIProgressCallback.h"
#include "evidencedb/EvidenceDatabase.h"
#include "utility/Log.h"

static const char kModule[] = "iTunesBackup";

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
    if (total <= 0)
        return;
    m_pProgress = progress;
    if (progress)
        m_step = double(progress->range()) / double(total);
    for (const QString& sql : m_sqls)
        if (queryRows(this, dbPath, sql) >= 0)
            break;
}

int CISQLiteQuery::countRows(const QString& dbPath, const QStringList& countSqls)
{
    const QByteArray path = dbPath.toUtf8();
    sqlite3* db = openReadOnly(dbPath);
    if (!db) {
        Log(kModule, 0, "Fail to open db file: %s", path.constData());
        return -2;
    }
    int count = 0;
    bool prepared = countSqls.isEmpty();
    for (const QString& sql : countSqls) {
        const QByteArray text = sql.toUtf8();
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, text.constData(), text.size(), &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            Log(kModule, 0, "Fail to query sql \"%s\" for db %s", text.constData(), path.constData());
            continue;
        }
        prepared = true;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            count = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
        break;
    }
    sqlite3_close(db);
    return prepared ? count : -1;
}

int CISQLiteQuery::queryRows(CISQLiteQuery* query, const QString& dbPath, const QString& sql)
{
    const QByteArray path = dbPath.toUtf8();
    sqlite3* db = openReadOnly(dbPath);
    if (!db) {
        Log(kModule, 0, "Fail to open db file: %s", path.constData());
        return -2;
    }
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, text.constData(), text.size(), &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        Log(kModule, 0, "Fail to query sql \"%s\" for db %s", text.constData(), path.constData());
        sqlite3_close(db);
        return -1;
    }
    int rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        if (!query || !query->handleRow(stmt))
            break;
        ++rows;
        if (query->m_pProgress && !query->m_pProgress->progress(query->m_step))
            break;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}
