#include "TestSupport.h"

#include <algorithm>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sqlite3.h>
#include <sys/mount.h>

#include "ibr/schemas.h"
#include "utility/Log.h"

namespace testsupport {

namespace {
// The log has one sink: it feeds every capture alive, so one made inside another (a helper's,
// say) leaves the outer one seeing the lines too.
std::mutex g_capturesMutex;
std::vector<LogCapture*> g_captures;
} // namespace

LogCapture::LogCapture()
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(g_capturesMutex);
        g_captures.push_back(this);
        first = g_captures.size() == 1;
    }
    // Set outside the lock: the log calls the sink under its own lock, which the sink follows with ours.
    if (first)
        ibrlog::setSink([](const char* module, int level, const std::string& text) {
            std::lock_guard<std::mutex> all(g_capturesMutex);
            for (LogCapture* c : g_captures) {
                std::lock_guard<std::mutex> one(c->m_mutex);
                c->m_lines.push_back({module, level, text});
            }
        });
}

LogCapture::~LogCapture()
{
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(g_capturesMutex);
        g_captures.erase(std::remove(g_captures.begin(), g_captures.end(), this), g_captures.end());
        last = g_captures.empty();
    }
    if (last)
        ibrlog::setSink(nullptr);
}

std::vector<LogCapture::Line> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

int LogCapture::count(const std::string& module, const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Line& l : m_lines)
        if (l.module == module && l.text == text)
            ++n;
    return n;
}

bool LogCapture::contains(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Line& l : m_lines)
        if (l.text.find(text) != std::string::npos)
            return true;
    return false;
}

QMap<QString, QByteArray> snapshotFolder(const QString& folder)
{
    QMap<QString, QByteArray> out;
    QDir root(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QByteArray digest;
        if (f.open(QIODevice::ReadOnly)) {
            QCryptographicHash h(QCryptographicHash::Sha1);
            h.addData(&f);
            digest = h.result().toHex();
        }
        out.insert(root.relativeFilePath(path), digest + ":" + QByteArray::number(QFileInfo(path).lastModified().toMSecsSinceEpoch()));
    }
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

SmallDisk::SmallDisk(const QString& mountPoint, int bytes) : m_point(QFile::encodeName(mountPoint))
{
    QDir().mkpath(mountPoint);
    m_mounted = ::mount("tmpfs", m_point.constData(), "tmpfs", 0, ("size=" + QByteArray::number(bytes)).constData()) == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        ::umount2(m_point.constData(), MNT_DETACH);
}

QString cliPath()
{
    return QStringLiteral(IBR_BINARY_DIR "/app/ibreader");
}

CliRun runCli(const QStringList& args, const QMap<QString, QString>& env)
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.constBegin(); it != env.constEnd(); ++it)
        e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    p.start(cliPath(), args);
    CliRun r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool makeDatabase(const QString& path, const QStringList& statements, const std::function<bool(sqlite3*)>& build, sqlite3** open)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.toUtf8().constData(), &db) == SQLITE_OK;
    for (const QString& s : statements)
        ok = ok && sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    ok = ok && (!build || build(db));
    if (open)
        *open = db;
    else
        sqlite3_close(db);
    return ok;
}

HotJournal hotJournal(const QString& path, const QString& sql)
{
    sqlite3* raw = nullptr;
    sqlite3_open(path.toUtf8().constData(), &raw);
    auto exec = [raw](const QString& s) { return sqlite3_exec(raw, s.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK; };
    // A cache of one page makes SQLite write changed pages to the file before the commit.
    const bool ok = exec(QStringLiteral("PRAGMA journal_mode=DELETE")) && exec(QStringLiteral("PRAGMA cache_size=1"))
        && exec(QStringLiteral("BEGIN")) && exec(sql) && exec(QStringLiteral("CREATE TABLE spill (x)"))
        && exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                               "INSERT INTO spill SELECT randomblob(500) FROM n"));
    HotJournal state;
    if (ok) {
        state.database = readFile(path);
        state.journal = readFile(path + QStringLiteral("-journal"));
    }
    exec(QStringLiteral("ROLLBACK"));
    sqlite3_close(raw);
    if (state.journal.isEmpty())
        return {};
    return state;
}

bool insertDeletedCalls(sqlite3* db, const std::vector<CallhistoryRecord>& calls)
{
    auto exec = [db](const QString& sql) { return sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK; };
    bool ok = exec(QStringLiteral("PRAGMA secure_delete = OFF"));
    for (const QString& s : ibr::iosSchemaStatements(8, QStringLiteral("call_history.db")))
        ok = (s.contains(QLatin1String("sqlite_sequence")) || exec(s)) && ok;
    for (const CallhistoryRecord& c : calls)
        ok = exec(QStringLiteral("INSERT INTO call (address, date, duration, flags, id) VALUES ('%1', %2, %3, %4, -1)")
                      .arg(c.address)
                      .arg(c.date)
                      .arg(c.duration)
                      .arg(c.flags))
            && ok;
    return exec(QStringLiteral("DELETE FROM call")) && ok;
}

TreeRoot treeRoot(const QString& path, const char* table)
{
    TreeRoot root;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "select (select rootpage from sqlite_master where name = ?), (select page_size from pragma_page_size)", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, table, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) {
            root.page = sqlite3_column_int(st, 0);
            root.pageSize = sqlite3_column_int(st, 1);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return root;
}

} // namespace testsupport
