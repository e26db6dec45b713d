#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct sqlite3;
struct sqlite3_stmt;
class CIProgressCallback;

// A query over one category database: finds the database among candidate paths, counts the rows
// with the first count statement that fits the schema, then hands every row of the first row
// statement that fits to handleRow(). Several candidates cover several schemas.
//
// Databases are opened read-only through an "immutable" URI: they belong to a backup or a
// device, and SQLite must neither create nor replay journal files next to them.
class CISQLiteQuery
{
public:
    CISQLiteQuery() = default;
    virtual ~CISQLiteQuery() = default;

    // Consumes the current row; false stops the reading.
    virtual bool handleRow(sqlite3_stmt* stmt) = 0;
    // `progress` may be null.
    virtual void run(const QStringList& dbPaths, CIProgressCallback* progress);

    // Rows counted by the first statement that prepares: -2 when the database does not open,
    // -1 when no statement prepares.
    static int countRows(const QString& dbPath, const QStringList& countSqls);
    // Whether the schema has what the statement needs, with countRows' answers and log lines
    // (0 when it prepares) but without running it: a probe whose count nobody reads need not
    // walk a million rows.
    static int probeSchema(const QString& dbPath, const QString& sql);
    // Rows handled: -2 when the database does not open, -1 when the statement does not prepare.
    static int queryRows(CISQLiteQuery* query, const QString& dbPath, const QString& sql);

    // Opens `path` read-only and immutable; null (nothing logged) on failure.
    static sqlite3* openReadOnly(const QString& path);
    static QByteArray immutableUri(const QString& path);

    // Text column as UTF-8 (NULL gives ""), integer column as 32 bits.
    static QString columnText(sqlite3_stmt* stmt, int column);
    static int columnInt(sqlite3_stmt* stmt, int column);

    // Databases that opened but whose layout none of a query's statements fitted, since the last
    // call on this thread: the file and SQLite's reason. Their rows are not read.
    struct Unfitted {
        QString path;
        QString reason;
    };
    static QList<Unfitted> takeUnfitted();

    QStringList m_sqls;
    QStringList m_countSqls;
    // A lookup that adds detail to items read elsewhere: a layout without it loses no item.
    bool m_optional = false;
    CIProgressCallback* m_pProgress = nullptr; // not owned
    double m_step = 0.0;
};
