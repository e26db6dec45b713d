#pragma once

// Read-only access to a database that belongs to a backup or a device copy. The file is
// evidence: it is opened through an "immutable" URI so SQLite neither creates nor replays
// -wal/-shm/-journal files next to it. A database whose -wal holds its newest rows is read live
// from a private copy of both, never from the evidence itself.

#include <QByteArray>
#include <QString>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace evidencedb {

// "file:<percent-encoded absolute path>?immutable=1&mode=ro"; drive-letter paths get a leading
// slash ("file:/C:/...").
QByteArray immutableUri(const QString& path);

struct SqliteCloser {
    void operator()(sqlite3* db) const;
};
// Owns a connection; closed when it goes out of scope.
using SqlitePtr = std::unique_ptr<sqlite3, SqliteCloser>;

// Opens a regular file read-only and immutable and, with `probe`, checks that it is a database;
// null on failure with the reason in *error. The caller closes the handle.
sqlite3* openImmutable(const QString& path, QString* error = nullptr, bool probe = true);

class Database
{
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // False (with a log line under `module`) when the file is missing or not a database.
    bool open(const QString& path, const char* module = "EvidenceDb");
    // Like open(), but with a non-empty -wal beside the file the database and its -wal are
    // copied into a private working folder and opened there, so the rows only the -wal holds are
    // seen. Falls back to open() (with a log line) when no copy can be made.
    bool openLive(const QString& path, const char* module = "EvidenceDb");
    bool isOpen() const { return m_db != nullptr; }
    sqlite3* handle() const { return m_db; }
    bool hasTable(const char* table) const;
    bool hasColumn(const char* table, const char* column) const;
    QString path() const { return m_path; }
    bool readsWal() const { return !m_copyFolder.isEmpty() && m_db; }

private:
    void close();
    sqlite3* m_db = nullptr;
    QString m_path;
    QString m_copyFolder; // the private copy of a database read with its -wal
};

// One prepared statement, finalized on destruction.
class Statement
{
public:
    Statement(const Database& db, const QByteArray& sql);
    Statement(sqlite3* db, const QByteArray& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    sqlite3_stmt* handle() const { return m_stmt; }
    bool next();
    bool isNull(int column) const;
    qint64 int64(int column) const;
    QByteArray text(int column) const; // UTF-8; null array for NULL
    QByteArray blob(int column) const;

private:
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace evidencedb
