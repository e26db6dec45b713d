#pragma once

// Read-only access to a database that belongs to a backup or a device copy. The file is
// evidence: it is opened through an "immutable" URI so SQLite neither creates nor replays
// -wal/-shm/-journal files next to it. A database whose -wal holds its newest rows is read live
// from a private copy of both, never from the evidence itself.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>
#include <string>

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

// Copies of evidence databases whose newest rows live in a -wal (some main files hold nothing
// but their first page). The database and its -wal are copied into a private working folder,
// SQLite applies the -wal to the copy, and the copy is read instead; the evidence is never
// opened for writing. Every copy is removed with this object.
class LiveCopies
{
public:
    LiveCopies() = default;
    ~LiveCopies();
    LiveCopies(const LiveCopies&) = delete;
    LiveCopies& operator=(const LiveCopies&) = delete;

    // The file to read for `database`: a copy with `wal` applied when `wal` is a non-empty file,
    // `database` itself otherwise. When no copy can be made the evidence path comes back and
    // *error says why (the rows only the -wal holds are then missing). One copy per database.
    QString readablePath(const QString& database, const QString& wal, QString* error = nullptr);

private:
    QString m_folder;
    QList<QPair<QString, QString>> m_copies; // database -> copy
};

// Copies `database` and `wal` to `copy` and `copy`-wal and folds the -wal into the copy, which
// is then a database of its own with no companion. False with *why on failure.
bool makeLiveCopy(const QString& database, const QString& wal, const QString& copy, std::string* why);

// How often SQLite met damage (a page that is not what its tree says it is) while reading on
// this thread; it only grows. A query that meets damage ends as if its rows ended, so readers
// compare this before and after reading to know that rows may be missing.
uint64_t damageSeen();
// What `pragma quick_check` finds first in the database at `path` ("ok" aside): empty when it
// finds nothing, or when the file cannot be opened.
QString firstDamage(const QString& path);

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
    // Whether the rows ended on an error (a damaged page) rather than at their end.
    bool failed() const;
    void bind(int index, qint64 value);
    bool isNull(int column) const;
    qint64 int64(int column) const;
    QByteArray text(int column) const; // UTF-8; null array for NULL
    QByteArray blob(int column) const;

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_last = 0; // what the last step returned
};

} // namespace evidencedb
