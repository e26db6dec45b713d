#pragma once

// Read-only access to a database that belongs to a backup. The file is evidence: it is opened
// through an "immutable" URI so SQLite neither creates nor replays -wal/-shm/-journal files next
// to it.

#include <QByteArray>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

namespace contactdb {

// "file:<percent-encoded absolute path>?immutable=1&mode=ro"
QByteArray immutableUri(const QString& path);

class ReadOnlyDatabase
{
public:
    ReadOnlyDatabase() = default;
    ~ReadOnlyDatabase();
    ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
    ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

    // False (with a log line) when the file is missing or cannot be opened.
    bool open(const QString& path);
    sqlite3* handle() const { return m_db; }
    bool hasTable(const char* table) const;
    bool hasColumn(const char* table, const char* column) const;
    QString path() const { return m_path; }

private:
    sqlite3* m_db = nullptr;
    QString m_path;
};

// One prepared statement, finalized on destruction.
class Statement
{
public:
    Statement(const ReadOnlyDatabase& db, const QByteArray& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    bool next();
    bool isNull(int column) const;
    qint64 int64(int column) const;
    QByteArray text(int column) const; // UTF-8; null array for NULL
    QByteArray blob(int column) const;

private:
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace contactdb
