#include "evidencedb/EvidenceDatabase.h"

#include <QDir>
#include <QFile>

#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <cstring>

#include "sqlitecarve/Carver.h"
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
    m_problems.clear();
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

namespace {

bool nonEmptyFile(const QString& path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && info.size() > 0;
}

// The page size a database's header names, else the one its -wal's header names; 0 for none.
uint32_t pageSizeOf(const QString& database, const QByteArray& wal)
{
    QFile file(database);
    const QByteArray h = file.open(QIODevice::ReadOnly) ? file.read(100) : QByteArray();
    if (h.size() == 100 && h.startsWith("SQLite format 3")) {
        const uint32_t size = uint32_t(uchar(h[16])) << 8 | uchar(h[17]);
        return size == 1 ? 65536 : size;
    }
    if (wal.size() < 12)
        return 0;
    return uint32_t(uchar(wal[8])) << 24 | uint32_t(uchar(wal[9])) << 16 | uint32_t(uchar(wal[10])) << 8 | uchar(wal[11]);
}

// The header a database whose own is lost needs to be read (empty when its own holds).
QByteArray rebuiltHeaderOf(const QString& database)
{
    QFile file(database);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 100)
        return QByteArray();
    const uchar* data = file.map(0, file.size());
    return data ? QByteArray::fromStdString(sqlcarve::rebuiltHeader({data, size_t(file.size())})) : QByteArray();
}

// Whether the database is read through a private copy: SQLite must apply its -wal or roll its
// -journal back, which it does only in the file itself, or its header must be rebuilt.
bool needsPrivateCopy(const QString& database, const QString& wal, const QString& journal)
{
    return QFileInfo(database).isFile() && (nonEmptyFile(wal) || nonEmptyFile(journal) || !rebuiltHeaderOf(database).isEmpty());
}

// Why SQLite will drop frames of the -wal at `wal` for damage: it does so without a word, and
// the rows only those frames hold are lost to the reading. Empty when it drops none.
QString walDamage(const QString& wal, const QString& database)
{
    QFile file(wal);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QString();
    const uchar* data = file.map(0, file.size());
    if (!data)
        return QString();
    const QByteArray head = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(qMin<qint64>(file.size(), 32)));
    const std::string why = sqlcarve::walBreak({data, size_t(file.size())}, pageSizeOf(database, head));
    return QString::fromStdString(why);
}

// SQLite rolls back a journal whose first byte is not zero; one without a journal's header then
// rolls back nothing, silently.
bool headerlessHotJournal(const QString& journal)
{
    static const char kMagic[8] = {'\xd9', '\xd5', '\x05', '\xf9', '\x20', '\xa1', '\x63', '\xd7'};
    QFile file(journal);
    const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(8) : QByteArray();
    return !head.isEmpty() && head[0] != 0 && head != QByteArray::fromRawData(kMagic, 8);
}

// Why SQLite will leave records of the hot -journal at `journal` out of its rollback, silently.
QString journalDamage(const QString& journal)
{
    QFile file(journal);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QString();
    const uchar* data = file.map(0, file.size());
    return data ? QString::fromStdString(sqlcarve::journalBreak({data, size_t(file.size())})) : QString();
}

} // namespace

bool makeLiveCopy(const QString& database, const QString& wal, const QString& journal, const QString& copy,
                  QStringList* problems)
{
    const auto note = [problems](const QString& line) {
        if (problems)
            *problems << line;
    };
    const auto removeCopy = [&copy] {
        for (const char* companion : {"", "-wal", "-shm", "-journal"})
            QFile::remove(copy + QLatin1String(companion));
    };
    const bool withWal = nonEmptyFile(wal);
    bool withJournal = nonEmptyFile(journal);
    const QByteArray header = rebuiltHeaderOf(database);
    if (withJournal && headerlessHotJournal(journal))
        note(QStringLiteral("its -journal holds no journal header: nothing is rolled back, and changes of a "
                            "transaction never committed may be read"));
    for (;;) {
        removeCopy();
        std::string reason;
        const auto copyTo = [&reason](const QString& from, const QString& to) {
            return ibrio::copyFile(QFile::encodeName(from).toStdString(), QFile::encodeName(to).toStdString(), &reason);
        };
        bool ok = copyTo(database, copy) && (!withWal || copyTo(wal, copy + QStringLiteral("-wal")))
            && (!withJournal || copyTo(journal, copy + QStringLiteral("-journal")));
        // A header lost to damage is rebuilt on the copy: every page after it still reads.
        if (ok && !header.isEmpty()) {
            QFile patched(copy);
            ok = patched.open(QIODevice::ReadWrite) && patched.write(header) == header.size();
            if (!ok)
                reason = patched.errorString().toStdString();
        }
        // Known before SQLite reads the -wal and the -journal: they fold into the copy and are gone.
        const QString walDropped = ok && withWal ? walDamage(copy + QStringLiteral("-wal"), copy) : QString();
        const QString journalDropped = ok && withJournal ? journalDamage(copy + QStringLiteral("-journal")) : QString();
        if (ok) {
            // Read-write on the copy only: SQLite rolls a hot -journal back and applies the -wal
            // there. Leaving WAL mode folds the -wal into the copy, so later readers may open the
            // copy immutable like any evidence.
            sqlite3* raw = nullptr;
            const int rc = sqlite3_open_v2(QFile::encodeName(copy).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
            const SqlitePtr db(raw);
            ok = rc == SQLITE_OK && sqlite3_exec(raw, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) == SQLITE_OK
                && sqlite3_exec(raw, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
            if (!ok)
                reason = raw ? sqlite3_errmsg(raw) : "out of memory";
        }
        if (ok) {
            if (!header.isEmpty()) {
                const uint32_t stored = uint32_t(uchar(header[16])) << 8 | uchar(header[17]);
                note(QStringLiteral("its header is damaged: read with one rebuilt from its pages (%1-byte pages)").arg(stored == 1 ? 65536 : stored));
            }
            if (!walDropped.isEmpty())
                note(QStringLiteral("its -wal was not applied whole (%1): the rows only the frames left out hold are not read")
                         .arg(walDropped));
            if (!journalDropped.isEmpty())
                note(QStringLiteral("its -journal was not rolled back whole (%1)").arg(journalDropped));
            return true;
        }
        if (withJournal) {
            note(QStringLiteral("its -journal could not be rolled back (%1): the database is read as a transaction "
                                "never committed left it")
                     .arg(QString::fromStdString(reason)));
            withJournal = false;
            if (withWal)
                continue;
        } else {
            note(QStringLiteral("its -wal could not be applied (%1): the rows only it holds are not read")
                     .arg(QString::fromStdString(reason)));
        }
        removeCopy();
        return false;
    }
}

LiveCopies::~LiveCopies()
{
    if (!m_folder.isEmpty()) {
        QDir(m_folder).removeRecursively();
        ibrio::forgetWorkFolder(QFile::encodeName(m_folder).toStdString());
    }
}

QString LiveCopies::readablePath(const QString& database, const QString& wal, const QString& journal, QStringList* problems)
{
    if (!needsPrivateCopy(database, wal, journal))
        return database;
    for (const auto& known : m_copies)
        if (known.first == database)
            return known.second;
    std::string why;
    if (m_folder.isEmpty())
        m_folder = QFile::decodeName(ibrio::createWorkFolder(&why).c_str());
    if (m_folder.isEmpty()) {
        if (problems)
            *problems << QStringLiteral("no private folder to apply its -wal or -journal in (%1): read as it is")
                             .arg(QString::fromStdString(why));
        return database;
    }
    const QString copy = QDir(m_folder).filePath(QStringLiteral("live-%1.db").arg(m_copies.size()));
    if (!makeLiveCopy(database, wal, journal, copy, problems))
        return database;
    m_copies.append({database, copy});
    return copy;
}

bool Database::openLive(const QString& path, const char* module)
{
    close();
    m_problems.clear();
    const QString wal = path + QStringLiteral("-wal");
    const QString journal = path + QStringLiteral("-journal");
    if (!needsPrivateCopy(path, wal, journal))
        return open(path, module);
    m_path = path;
    // Named like every working folder, so a run killed meanwhile leaves nothing for good.
    std::string why;
    m_copyFolder = QFile::decodeName(ibrio::createWorkFolder(&why).c_str());
    const QString copy = QDir(m_copyFolder).filePath(QStringLiteral("live.db"));
    if (m_copyFolder.isEmpty()) {
        m_problems << QStringLiteral("no private folder to apply its -wal or -journal in (%1): read as it is")
                          .arg(QString::fromStdString(why));
    } else if (makeLiveCopy(path, wal, journal, copy, &m_problems)) {
        QString error;
        m_db = openImmutable(copy, &error);
        if (!m_db)
            m_problems << QStringLiteral("its private copy does not open (%1): read as it is").arg(error);
    }
    for (const QString& line : std::as_const(m_problems))
        Log(module, 0, "%s: %s", path.toUtf8().constData(), line.toUtf8().constData());
    if (m_db)
        return true;
    const QString folder = m_copyFolder;
    m_copyFolder.clear();
    if (!folder.isEmpty()) {
        QDir(folder).removeRecursively();
        ibrio::forgetWorkFolder(QFile::encodeName(folder).toStdString());
    }
    const QStringList problems = m_problems;
    const bool opened = open(path, module);
    m_problems = problems;
    return opened;
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
