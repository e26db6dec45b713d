// The command-line program under faults and hostile input: links in the output folder, full
// disks, log and temporary folders pointed into the evidence, stop signals, hostile names.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "AppSample.h"

using appsample::extract;
using appsample::json;
using testsupport::CliRun;
using testsupport::runCli;
using testsupport::SmallDisk;

namespace {

const char* const kOutputNames[] = {"contacts", "messages", "message_attachments", "calls", "calendar",
                                    "reminders", "notes", "safari", "camera_roll", "photo_stream",
                                    "photo_library", "voice_memos"};

class SafetyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        backup = dir.filePath(QStringLiteral("backup"));
        ASSERT_TRUE(sample::writeDemoBackup(backup));
        temp = dir.filePath(QStringLiteral("tmp"));
        ASSERT_TRUE(QDir().mkpath(temp));
    }
    QMap<QString, QString> tmpEnv() const { return {{QStringLiteral("TMPDIR"), temp}}; }
    QStringList workFolders() const
    {
        return QDir(temp).entryList({QStringLiteral("ibreader-work-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    }
    QTemporaryDir dir;
    QString backup;
    QString temp;
};

} // namespace

TEST_F(SafetyTest, OutputLinksAreNeverFollowedNorReplaced)
{
    const QString victims = dir.filePath(QStringLiteral("victims"));
    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(victims));
    ASSERT_TRUE(QDir().mkpath(out));
    // Every output name is taken: links to files outside (the backup's own among them), links
    // to files that do not exist yet, and one FIFO.
    int n = 0;
    for (const char* base : kOutputNames) {
        for (const char* ext : {".json", ".csv"}) {
            const QString name = QLatin1String(base) + QLatin1String(ext);
            const QByteArray link = QFile::encodeName(QDir(out).filePath(name));
            QString target;
            switch (n++ % 4) {
            case 0: target = QDir(backup).filePath(QStringLiteral("Info.plist")); break;
            case 1: target = QDir(victims).filePath(name); testsupport::writeFile(target, "keep " + name.toUtf8()); break;
            case 2: target = QDir(victims).filePath(QStringLiteral("new-") + name); break;
            case 3: ASSERT_EQ(::mkfifo(link.constData(), 0600), 0); continue;
            }
            ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), link.constData()), 0);
        }
    }
    const auto backupBefore = testsupport::snapshotFolder(backup);
    const auto victimsBefore = testsupport::snapshotFolder(victims);

    const CliRun r = extract(backup, out, {QStringLiteral("--format"), QStringLiteral("json,csv")});
    EXPECT_EQ(r.exitCode, 1) << r.err.constData();
    EXPECT_EQ(testsupport::snapshotFolder(backup), backupBefore);
    EXPECT_EQ(testsupport::snapshotFolder(victims), victimsBefore);
    EXPECT_TRUE(r.err.contains("contacts.json: is a symbolic link, not replaced")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("is a FIFO, not replaced")) << r.err.constData();
    for (const QFileInfo& f : QDir(out).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        EXPECT_FALSE(f.isFile() && !f.isSymLink()) << "written or left behind: " << f.fileName().toStdString();
}

TEST_F(SafetyTest, AFullOutputDiskFailsTheRunAndLeavesOnlyWholeFiles)
{
    const QString out = dir.filePath(QStringLiteral("small"));
    SmallDisk disk(out, 12 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const CliRun r = extract(backup, out, {}, tmpEnv());
    EXPECT_EQ(r.exitCode, 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains("No space left on device")) << r.err.constData();
    const QFileInfoList files = QDir(out).entryInfoList(QDir::Files | QDir::Hidden);
    EXPECT_LT(files.size(), 12);
    for (const QFileInfo& f : files) {
        ASSERT_FALSE(f.fileName().startsWith(QLatin1Char('.'))) << "temporary left: " << f.fileName().toStdString();
        QJsonParseError error{};
        QJsonDocument::fromJson(testsupport::readFile(f.filePath()), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << f.fileName().toStdString() << " is cut short";
    }
}

// The record lists are written before the exported copies: a disk that fills up costs copies.
TEST_F(SafetyTest, AFullDiskCostsExportedCopiesNotTheRecordLists)
{
    const QStringList options = {QStringLiteral("--export-files"), QStringLiteral("--no-deleted")};
    const QString roomy = dir.filePath(QStringLiteral("roomy"));
    ASSERT_EQ(extract(backup, roomy, options, tmpEnv()).exitCode, 0);
    qint64 lists = 0, copies = 0;
    for (QDirIterator it(roomy, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QFileInfo f(it.next());
        (f.suffix() == QLatin1String("json") ? lists : copies) += (f.size() + 4095) / 4096 * 4096;
    }
    ASSERT_GT(copies, 16 * 1024);
    const QString out = dir.filePath(QStringLiteral("small"));
    SmallDisk disk(out, int(lists + 8 * 1024));
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const CliRun r = extract(backup, out, options, tmpEnv());
    EXPECT_EQ(r.exitCode, 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains("No space left on device")) << r.err.constData();
    for (const char* name : kOutputNames) {
        QJsonParseError error{};
        QJsonDocument::fromJson(testsupport::readFile(QDir(out).filePath(QLatin1String(name) + QStringLiteral(".json"))), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << name;
    }
}

TEST_F(SafetyTest, AFullTemporaryFolderIsReportedAsSkippedWork)
{
    SmallDisk disk(temp, 16 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QString out = dir.filePath(QStringLiteral("out"));
    const CliRun r = extract(backup, out, {QStringLiteral("--json")}, tmpEnv());
    EXPECT_EQ(r.exitCode, 3) << r.err.constData();
    for (const char* db : {"AddressBook.sqlitedb", "sms.db", "call_history.db"})
        EXPECT_TRUE(r.err.contains(QByteArray("skipped: deleted records in ") + db + ": no working copy"))
            << db << "\n" << r.err.constData();
    const QJsonObject summary = QJsonDocument::fromJson(r.out).object();
    EXPECT_FALSE(summary.value(QStringLiteral("skipped")).toArray().isEmpty());
    // The live records are still extracted.
    EXPECT_GT(json(QDir(out).filePath(QStringLiteral("contacts.json")))[QStringLiteral("count")].toInt(), 0);
    EXPECT_TRUE(workFolders().isEmpty());
}

TEST_F(SafetyTest, LogFilesAndTemporaryFoldersMayNotLieInsideTheEvidence)
{
    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir(backup).mkpath(QStringLiteral("tmp")));
    const QString backupTmp = QDir(backup).filePath(QStringLiteral("tmp"));
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(backup).constData(), &before), 0);
    const auto snapshot = testsupport::snapshotFolder(backup);
    const QString info = QDir(backup).filePath(QStringLiteral("Info.plist"));
    const QString sms = QDir(backup).filePath(sample::hashedName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")));
    const struct {
        QStringList args;
        QMap<QString, QString> env;
        const char* message;
    } cases[] = {
        {{QStringLiteral("--log-file"), QDir(backup).filePath(QStringLiteral("run.log")), QStringLiteral("info"), backup}, {}, "the log file"},
        {{QStringLiteral("info"), backup}, {{QStringLiteral("IBREADER_LOG_FILE"), info}}, "the log file"},
        {{QStringLiteral("extract"), backup, QStringLiteral("--out"), out}, {{QStringLiteral("TMPDIR"), backupTmp}}, "the temporary folder"},
        {{QStringLiteral("recover-db"), sms, QStringLiteral("--log-file"), sms + QStringLiteral("-wal")}, {}, "the log file"},
        // A backup folder named like a category's folder would take that category's files.
        {{QStringLiteral("extract"), backup, QStringLiteral("--out"), dir.path(), QStringLiteral("--export-files")}, {}, "the backup folder may not lie inside"},
        {{QStringLiteral("device"), backup, QStringLiteral("--out"), dir.path()}, {}, "may not lie inside the output folder"},
    };
    for (const auto& c : cases) {
        const CliRun r = runCli(c.args, c.env);
        EXPECT_EQ(r.exitCode, 2) << c.args.join(QLatin1Char(' ')).toStdString() << "\n" << r.err.constData();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.constData();
    }
    EXPECT_EQ(testsupport::snapshotFolder(backup), snapshot);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(backup).constData(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_FALSE(QFileInfo::exists(out));
}

// A stop signal ends the work on its normal path: what was extracted until then is written, the
// run reports itself incomplete and exits with the signal's code, the working folder goes. A
// second Ctrl-C ends the process at once, but not before the working folders are gone.
TEST_F(SafetyTest, StopSignalsWriteWhatWasExtractedAndExitWithTheirCode)
{
    // Large enough that the deleted-record scan is still running when the signal comes.
    const QString big = dir.filePath(QStringLiteral("big"));
    sample::DemoOptions options;
    options.scale = 200;
    ASSERT_TRUE(sample::writeDemoBackup(big, options));
    for (const auto& [signo, twice] : {std::pair{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGINT, true}}) {
        SCOPED_TRACE(signo);
        SCOPED_TRACE(twice);
        const QString out = dir.filePath(QStringLiteral("out-%1-%2").arg(signo).arg(twice));
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("TMPDIR"), temp);
        p.setProcessEnvironment(e);
        p.start(testsupport::cliPath(), {QStringLiteral("extract"), big, QStringLiteral("--out"), out, QStringLiteral("--json")});
        ASSERT_TRUE(p.waitForStarted());
        // Signal once the copies for the scan are in the working folder.
        QElapsedTimer waited;
        waited.start();
        bool staged = false;
        while (!staged && waited.elapsed() < 60000 && p.state() == QProcess::Running) {
            for (const QString& w : workFolders())
                staged = staged || QFileInfo::exists(QDir(temp).filePath(w + QStringLiteral("/recovery/sms.db")));
            if (!staged)
                QThread::msleep(2);
        }
        ASSERT_TRUE(staged) << "the run ended before its scan began";
        ::kill(pid_t(p.processId()), signo);
        if (twice) {
            QThread::msleep(10); // two pending signals of a kind are one
            ::kill(pid_t(p.processId()), signo);
        }
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        const QByteArray err = p.readAllStandardError();
        EXPECT_EQ(p.exitCode(), 128 + signo) << err.constData();
        EXPECT_TRUE(workFolders().isEmpty()) << workFolders().join(QLatin1Char(' ')).toStdString();
        if (twice) {
            // Nothing more is written, and the user is told (on a loaded machine the two signals
            // may come as one, and the run ends as after one).
            if (p.readAllStandardOutput().isEmpty()) {
                EXPECT_TRUE(err.contains("stopped at once: files written so far may be incomplete")) << err.constData();
            }
            continue;
        }

        const QJsonObject summary = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
        ASSERT_TRUE(summary.contains(QStringLiteral("completed")));
        EXPECT_FALSE(summary.value(QStringLiteral("completed")).toBool());
        const QJsonArray files = summary.value(QStringLiteral("files")).toArray();
        EXPECT_EQ(files.size(), int(std::size(kOutputNames)));
        for (const QJsonValue f : files) {
            QJsonParseError error{};
            QJsonDocument::fromJson(testsupport::readFile(f.toString()), &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError) << f.toString().toStdString();
        }
        const QJsonObject contacts = json(QDir(out).filePath(QStringLiteral("contacts.json"))).object();
        EXPECT_GT(contacts.value(QStringLiteral("count")).toInt(), 0);
        EXPECT_EQ(contacts.value(QStringLiteral("count")).toInt(),
                  summary[QStringLiteral("categories")][QStringLiteral("contacts")][QStringLiteral("items")].toInt());
        // Counts read until the stop are no account of the backup: each category says so.
        EXPECT_FALSE(contacts.value(QStringLiteral("complete")).toBool(true));
        EXPECT_FALSE(summary[QStringLiteral("categories")][QStringLiteral("contacts")][QStringLiteral("complete")].toBool(true));
    }
}

TEST_F(SafetyTest, WorkingFoldersOfKilledRunsAreRemovedAtStart)
{
    // A process id that is surely gone: one of a process that has already ended.
    QProcess gone;
    gone.start(QStringLiteral("true"));
    ASSERT_TRUE(gone.waitForFinished());
    const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
    const QString stale = QDir(temp).filePath(QStringLiteral("ibreader-work-%1-AbC123").arg(deadPid));
    const QString alive = QDir(temp).filePath(QStringLiteral("ibreader-work-%1-AbC123").arg(::getpid()));
    const QString foreign = QDir(temp).filePath(QStringLiteral("ibreader-work-notours"));
    for (const QString& f : {stale, alive, foreign})
        ASSERT_TRUE(testsupport::writeFile(f + QStringLiteral("/sms.db"), "copy"));
    const CliRun r = runCli({QStringLiteral("info"), backup}, tmpEnv());
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(alive));
    EXPECT_TRUE(QFileInfo::exists(foreign));
}

TEST_F(SafetyTest, NamesFromTheEvidenceArePrintedEscaped)
{
    const QString folder = dir.filePath(QStringLiteral("hostile"));
    sample::SampleBackupWriter w(folder);
    w.setDevice(QStringLiteral("Phone\x1b]0;owned\x07"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1"),
                QDateTime(QDate(2014, 1, 2), QTime(3, 4, 5), Qt::UTC));
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/a\tfake\t0\tdeadbeef\nforged"), "x");
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/\x1b[2J\u202Etxt.exe"), "y");
    ASSERT_TRUE(w.write());

    const CliRun files = runCli({QStringLiteral("files"), folder});
    ASSERT_EQ(files.exitCode, 0) << files.err.constData();
    const QList<QByteArray> lines = files.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << files.out.constData();
    for (const QByteArray& line : lines) {
        EXPECT_EQ(line.count('\t'), 3) << line.constData();
        EXPECT_FALSE(line.contains('\x1b')) << line.constData();
    }
    EXPECT_TRUE(files.out.contains("Library/a\\tfake\\t0\\tdeadbeef\\nforged")) << files.out.constData();
    EXPECT_TRUE(files.out.contains("Library/\\x1b[2J\\u{202e}txt.exe")) << files.out.constData();

    const CliRun info = runCli({QStringLiteral("info"), folder});
    EXPECT_TRUE(info.out.contains("Phone\\x1b]0;owned\\x07")) << info.out.constData();
    EXPECT_FALSE(info.out.contains('\x07'));
}

// A data file that is no database is named as such; a pipe where the data file belongs, or a link
// wherever it leads, as what it is: never opened, never followed.
TEST_F(SafetyTest, AnUnreadableDatabaseIsNamedAsSkipped)
{
    const QString folder = dir.filePath(QStringLiteral("damaged"));
    sample::SampleBackupWriter w(folder);
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1"),
                QDateTime(QDate(2014, 1, 2), QTime(3, 4, 5), Qt::UTC));
    const QString data = w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), QByteArray(4096, 'z'));
    ASSERT_TRUE(w.write());
    const QString outside = dir.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(testsupport::writeFile(outside, "read from outside the backup"));
    const QByteArray unreadable = "skipped: contacts: AddressBook.sqlitedb is not a database that can be read";
    const QByteArray irregular = "skipped: contacts: AddressBook.sqlitedb is not a regular file in the backup folder";
    const struct {
        const char* name;
        std::function<bool()> plant;
        QByteArrayList lines;
    } cases[] = {
        {"garbage", [] { return true; }, {unreadable, "skipped: AddressBook.sqlitedb is not a readable SQLite database"}},
        {"fifo", [&] { return QFile::remove(data) && ::mkfifo(QFile::encodeName(data).constData(), 0600) == 0; }, {irregular}},
        {"link", [&] { return QFile::remove(data) && QFile::link(outside, data); }, {irregular}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.plant());
        const CliRun r = extract(folder, dir.filePath(QStringLiteral("out-") + QLatin1String(c.name)), {}, tmpEnv());
        EXPECT_EQ(r.exitCode, 3) << r.err.constData();
        for (const QByteArray& line : c.lines)
            EXPECT_TRUE(r.err.contains(line)) << r.err.constData();
        EXPECT_EQ(r.err.contains(unreadable), c.lines.contains(unreadable)) << r.err.constData();
    }
}

TEST_F(SafetyTest, ParseProblemsReachTheUserWithFileReasonAndExitCode)
{
    const QString garbled = dir.filePath(QStringLiteral("garbled"));
    ASSERT_TRUE(testsupport::writeFile(garbled + QStringLiteral("/Manifest.plist"), "not a property list"));
    const QString padded = dir.filePath(QStringLiteral("padded"));
    {
        sample::SampleBackupWriter w(padded);
        w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1"),
                    QDateTime(QDate(2014, 1, 2), QTime(3, 4, 5), Qt::UTC));
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "x");
        w.mbdbTail = QByteArray(4096, '\0');
        ASSERT_TRUE(w.write());
    }
    struct Case {
        QString folder;
        int code;
        const char* message;
    } cases[] = {
        {dir.filePath(QStringLiteral("none")), 4, "no such folder"},
        {garbled + QStringLiteral("/Manifest.plist"), 4, "is a file, not a backup folder: give the folder that holds Manifest.plist ("},
        {temp, 4, "holds no Manifest.plist"},
        {garbled, 5, "Manifest.plist: not a readable property list"},
        {padded, 3, "skipped: " /* the index ends at the zeros */},
    };
    for (const Case& c : cases) {
        for (const char* command : {"info", "files"}) {
            const CliRun r = runCli({QLatin1String(command), c.folder});
            EXPECT_EQ(r.exitCode, c.code) << command << " " << c.folder.toStdString() << "\n" << r.err.constData();
            EXPECT_TRUE(r.err.contains(c.message)) << r.err.constData();
        }
    }
    const CliRun padded3 = runCli({QStringLiteral("info"), padded});
    EXPECT_TRUE(padded3.err.contains("implausible domain at offset")) << padded3.err.constData();
    EXPECT_TRUE(padded3.out.contains("Files:           1")) << padded3.out.constData();
}
