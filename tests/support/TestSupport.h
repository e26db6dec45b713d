#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "CIProgressCallback.h"
#include "sqliterecovery/SqliteRecovery.h"

struct sqlite3;

// Readable QString values in assertion messages and parameter names.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

// Captures every Log line while alive, beside any other capture alive.
class LogCapture
{
public:
    struct Line {
        std::string module;
        int level;
        std::string text;
    };
    LogCapture();
    ~LogCapture();
    std::vector<Line> lines() const;
    // Lines of `module` whose text equals `text` exactly.
    int count(const std::string& module, const std::string& text) const;
    bool contains(const std::string& text) const; // any module, substring

private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

// Records every report; progress() answers answer(call number, from 1), true when unset, and
// finish() answers finishAnswer.
class ProgressRecorder : public CIProgressCallback
{
public:
    explicit ProgressRecorder(int range = 100) : m_range(range) {}
    void initRange(int range) override
    {
        m_range = range;
        ++inits;
    }
    int range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        total += step;
        return answer ? answer(int(steps.size())) : true;
    }
    bool finish() override
    {
        ++finishes;
        return finishAnswer;
    }

    std::function<bool(int call)> answer;
    bool finishAnswer = true;
    std::vector<double> steps;
    double total = 0.0;
    int inits = 0;
    int finishes = 0;

private:
    int m_range;
};

// SHA-1 of every file under `folder` by relative path, for proving a folder was not changed.
QMap<QString, QByteArray> snapshotFolder(const QString& folder);

// Writes bytes to a file, creating folders; false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

// A tmpfs of `bytes` at `mountPoint`, unmounted when the object goes; mounting needs root.
class SmallDisk
{
public:
    SmallDisk(const QString& mountPoint, int bytes);
    ~SmallDisk();
    bool mounted() const { return m_mounted; }

private:
    QByteArray m_point;
    bool m_mounted = false;
};

// One run of the built command-line program; exitCode is -1 when it crashed or hung.
struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
QString cliPath();
CliRun runCli(const QStringList& args, const QMap<QString, QString>& env = {});

// Creates the database at `path` and runs `statements`, then `build` when given; the connection
// is closed unless `open` takes it. False on any failure.
// The root page of `table` in the database at `path` and the database's page size; {0, 0} when
// they cannot be read.
struct TreeRoot {
    int page = 0;
    int pageSize = 0;
};
TreeRoot treeRoot(const QString& path, const char* table);

bool makeDatabase(const QString& path, const QStringList& statements, const std::function<bool(sqlite3*)>& build = {},
                  sqlite3** open = nullptr);

// The database at `path` as a writer stopped mid-transaction leaves it: `sql` and enough more
// to spill into the file, read with the hot -journal beside it; then rolled back, so `path` is
// left as it was. Empty arrays when no journal was left.
struct HotJournal {
    QByteArray database, journal;
};
HotJournal hotJournal(const QString& path, const QString& sql);

// Creates the call table of call_history.db (iOS 8 layout) in `db`, inserts `calls` and deletes
// them again, so that only deleted-record recovery can find them.
bool insertDeletedCalls(sqlite3* db, const std::vector<CallhistoryRecord>& calls);

} // namespace testsupport
