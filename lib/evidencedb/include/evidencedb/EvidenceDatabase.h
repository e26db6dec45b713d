#pragma once

// Read-only access to a database that belongs to a backup or a device copy. The file is
// evidence: it is opened through an "immutable" URI so SQLite neither creates nor replays
// -wal/-shm/-journal files next to it. A database with a -wal or a hot -journal is read live,
// as SQLite would read it, from a private copy of it and its companions, never from the evidence.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

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
    // Like open(), but with a non-empty -wal or -journal beside the file the database and its
    // companions are copied into a private working folder and opened there, so the rows only the
    // -wal holds are seen and a transaction never committed is rolled back. Falls back to open()
    // when no copy can be made; problems() then says what the reading lacks.
    bool openLive(const QString& path, const char* module = "EvidenceDb");
    // What openLive() could not apply, one line each, to follow the database's name.
    const QStringList& problems() const { return m_problems; }
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
    QString m_copyFolder; // the private copy of a database read with its companions
    QStringList m_problems;
};

// Copies of evidence databases whose newest rows live in a -wal (some main files hold nothing
// but their first page), or that a hot -journal leaves mid-transaction. The database and its
// companions are copied into a private working folder, SQLite applies them to the copy, and the
// copy is read instead; the evidence is never opened for writing. Every copy is removed with
// this object.
class LiveCopies
{
public:
    LiveCopies() = default;
    ~LiveCopies();
    LiveCopies(const LiveCopies&) = delete;
    LiveCopies& operator=(const LiveCopies&) = delete;

    // The file to read for `database`: a copy with `journal` rolled back and `wal` applied when
    // either is a non-empty file, `database` itself otherwise. What could not be applied goes to
    // `problems`, one line each to follow the database's name; when no copy can be made at all
    // the evidence path comes back. One copy per database.
    QString readablePath(const QString& database, const QString& wal, const QString& journal,
                         QStringList* problems = nullptr);

private:
    QString m_folder;
    QList<QPair<QString, QString>> m_copies; // database -> copy
};

// Copies `database` to `copy`, with `journal` and `wal` (either may be empty) beside it, and lets
// SQLite roll the -journal back and fold the -wal in: the copy is then a database of its own
// with no companion. A -journal that does not roll back is left out; -wal frames SQLite drops
// for damage are named. What was not applied goes to `problems`; false when no copy opens.
bool makeLiveCopy(const QString& database, const QString& wal, const QString& journal, const QString& copy,
                  QStringList* problems);

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
