// The smaller commands (info, files, list, recover-db, demo) and the command line itself: what
// each prints, its errors and exit codes.
#include <gtest/gtest.h>

#include <map>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "SampleBackup.h"
#include "TestSupport.h"

using testsupport::CliRun;
using testsupport::runCli;

namespace {

QString writeBackup(QTemporaryDir& tmp, bool xmlManifest)
{
    const QString folder = tmp.filePath(QStringLiteral("backup"));
    sample::SampleBackupWriter w(folder);
    w.setDevice(QStringLiteral("Zoë's iPad"), QStringLiteral("iPad3,4"), QStringLiteral("6.1.3"),
                QDateTime(QDate(2013, 7, 9), QTime(8, 7, 6), Qt::UTC));
    w.manifestFormat = xmlManifest ? sample::SampleBackupWriter::PlistFormat::Xml : sample::SampleBackupWriter::PlistFormat::Binary;
    w.isEncrypted = 1;
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "x");
    w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG"), "jpeg");
    w.write();
    return folder;
}

} // namespace

// Both forms of Manifest.plist are read by the parser's own tests; here the description as JSON.
TEST(Cli, InfoJsonDescribesTheBackup)
{
    QTemporaryDir tmp;
    const CliRun r = runCli({QStringLiteral("info"), writeBackup(tmp, true), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    QStringList got;
    for (const char* key : {"deviceName", "productType", "serialNumber", "productVersion", "iTunesVersion", "lastBackupDate", "fileSuffix"})
        got << o.value(QLatin1String(key)).toString();
    EXPECT_EQ(got, (QStringList{QStringLiteral("Zoë's iPad"), QStringLiteral("iPad3,4"), QStringLiteral("C39KQ0ABFFT9"), QStringLiteral("6.1.3"),
                                QStringLiteral("12.3.2.35"), QStringLiteral("2013-07-09T08:07:06Z"), QString()}));
    EXPECT_TRUE(o.value(QStringLiteral("encrypted")).toBool());
    EXPECT_EQ(o.value(QStringLiteral("files")).toInt(), 2);
    EXPECT_EQ(o.value(QStringLiteral("modelName")).toString(), QStringLiteral("iPad 4"));
}

TEST(Cli, RecoveredRowsComeAfterTheirTablesColumnNames)
{
    QTemporaryDir tmp;
    const QString db = tmp.filePath(QStringLiteral("t.db"));
    // The city holds what JSON must escape, among plain runs longer than a machine word.
    ASSERT_TRUE(testsupport::makeDatabase(db, {QStringLiteral("PRAGMA secure_delete=OFF"),
                                               QStringLiteral("CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, city TEXT, age INTEGER)"),
                                               QStringLiteral("INSERT INTO people VALUES (1, 'Ann Example', CAST(X'"
                                                              "4C6973626F6E2C20226F6C6420746F776E22205C20706C61696E2061736369692072756E090A0D20"
                                                              "636166C3A920E697A520F09F9880207468656E20706C61696E20617363696920746F2074686520656E64'"
                                                              " AS TEXT), 41), (2, 'Bob Example', 'Oslo', 52)"),
                                               QStringLiteral("DELETE FROM people WHERE id = 1")}));
    const CliRun json = runCli({QStringLiteral("recover-db"), db, QStringLiteral("--json")});
    ASSERT_EQ(json.exitCode, 0) << json.err.constData();
    const QList<QByteArray> lines = json.out.trimmed().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QByteArray(R"({"table":"people","columns":["id","name","city","age"]})"));
    const QJsonArray values = QJsonDocument::fromJson(lines[1]).object().value(QStringLiteral("values")).toArray();
    ASSERT_EQ(values.size(), 4) << lines[1].constData();
    EXPECT_EQ(values[1].toString(), QStringLiteral("Ann Example"));
    EXPECT_EQ(values[2].toString(), QString::fromUtf8("Lisbon, \"old town\" \\ plain ascii run\t\n\r café 日 😀 then plain ascii to the end"));
    const CliRun text = runCli({QStringLiteral("recover-db"), db});
    EXPECT_TRUE(text.out.startsWith("columns of people: id | name | city | age\n")) << text.out.constData();
}

// A rowid the freed cell still holds is given as read; one placed by the row's neighbours says so.
TEST(Cli, RecoveredRowsSayWhereARowidNotReadCameFrom)
{
    QTemporaryDir tmp;
    const QString db = tmp.filePath(QStringLiteral("t.db"));
    QStringList sql = {QStringLiteral("PRAGMA secure_delete=OFF"), QStringLiteral("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)")};
    for (int i = 1; i <= 10; ++i)
        sql << QStringLiteral("INSERT INTO t VALUES(%1, 'person number %1 with a longer name', %2)").arg(i).arg(1000 + i);
    // Row 11 takes row 8's freed space, whole, and is freed in turn; row 5's cell lost its rowid.
    sql << QStringLiteral("DELETE FROM t WHERE id IN (5, 8)") << QStringLiteral("INSERT INTO t VALUES(11, 'newer eleven', 11)")
        << QStringLiteral("DELETE FROM t WHERE id = 11");
    ASSERT_TRUE(testsupport::makeDatabase(db, sql));
    const CliRun json = runCli({QStringLiteral("recover-db"), db, QStringLiteral("--json")});
    ASSERT_EQ(json.exitCode, 0) << json.err.constData();
    std::map<int, QString> from;
    for (const QByteArray& line : json.out.trimmed().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains(QStringLiteral("values")))
            from[o.value(QStringLiteral("rowid")).toInt()] = o.value(QStringLiteral("rowidFrom")).toString(QStringLiteral("cell"));
    }
    EXPECT_EQ(from, (std::map<int, QString>{{5, QStringLiteral("position")}, {11, QStringLiteral("cell")}})) << json.out.constData();
    EXPECT_TRUE(runCli({QStringLiteral("recover-db"), db}).out.contains("rowid 5 (by its place)"));
}

TEST(Cli, FilesListsTheIndexAndFiltersByDomain)
{
    QTemporaryDir tmp;
    const CliRun r = runCli({QStringLiteral("files"), writeBackup(tmp, false), QStringLiteral("--domain"),
                             QStringLiteral("MediaDomain"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray rows = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(rows.size(), 1);
    const QJsonObject row = rows.at(0).toObject();
    const QString path = QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG");
    EXPECT_EQ(row.value(QStringLiteral("domain")).toString(), QStringLiteral("MediaDomain"));
    EXPECT_EQ(row.value(QStringLiteral("relativePath")).toString(), path);
    EXPECT_EQ(row.value(QStringLiteral("size")).toInt(), 4);
    EXPECT_EQ(row.value(QStringLiteral("hashName")).toString(), sample::hashedName(QStringLiteral("MediaDomain"), path));
}

TEST(Cli, ErrorsGiveMessagesAndExitCodes)
{
    QTemporaryDir tmp;
    const struct {
        QStringList args;
        int exitCode;
        const char* message;
    } cases[] = {
        {{QStringLiteral("info"), tmp.path()}, 4, "is not a backup folder"},
        {{QStringLiteral("frobnicate")}, 2, "unknown command"},
        {{QStringLiteral("info")}, 2, "usage:"},
        {{QStringLiteral("info"), tmp.path(), QStringLiteral("--bogus")}, 2, "unknown option --bogus"},
        {{QStringLiteral("recover-db"), tmp.path()}, 1, "not a file"},
        {{QStringLiteral("demo"), QStringLiteral("--encrypted"), QStringLiteral("--device"), QStringLiteral("--out"), tmp.filePath(QStringLiteral("d"))},
         2, "--encrypted and --device cannot be combined"},
        {{QStringLiteral("recover-db"), tmp.filePath(QStringLiteral("none.db"))}, 1, "no such file"},
        {{QStringLiteral("info"), tmp.path(), QStringLiteral("--log-level"), QStringLiteral("abc")}, 2, "--log-level takes a level"},
        {{QStringLiteral("info"), tmp.path(), QStringLiteral("--log-file")}, 2, "--log-file takes a file name"},
        {{QStringLiteral("extract"), QStringLiteral("b"), QStringLiteral("--out"), QStringLiteral("x"), QStringLiteral("--out=y")}, 2,
         "--out given more than once"},
    };
    for (const auto& c : cases) {
        const CliRun r = runCli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.constData();
    }
}

// Each command answers --help with its own usage.
TEST(Cli, CommandHelp)
{
    for (const char* command : {"extract", "device", "recover-db", "demo", "info", "files", "list"}) {
        const CliRun help = runCli({QLatin1String(command), QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_TRUE(help.out.startsWith(QByteArray("usage: ibreader ") + command)) << help.out.constData();
    }
}

// A backup folder that cannot be read is named, not left out of the list; other folders are.
TEST(Cli, ListNamesBackupsItCannotRead)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(testsupport::writeFile(tmp.filePath(QStringLiteral("damaged/Manifest.plist")), "<?xml version=\"1.0\"?><plist><di"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath(QStringLiteral("photos")));
    const CliRun r = runCli({QStringLiteral("list"), QStringLiteral("--root"), tmp.path()});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.count("skipped:"), 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains("damaged/Manifest.plist: not a readable property list")) << r.err.constData();
}

// Each layout generation of the demo reads back whole: every category the device kept has live
// items (iOS 9 keeps its calls in the Core Data store), and the backup names its version. Backups
// of iOS 10 on (Manifest.db, data files in sub-folders, newer message and note layouts) give what
// the iOS 9 one gives. Deleted counts differ where the newer demo deletes rows of its own: a note
// in NoteStore's -wal, and two messages after the iOS 11 rewrite reused the older ones' space.
TEST(Cli, DemoOfEachLayoutReadsBackEveryCategory)
{
    QJsonObject ios9;
    for (int ios : {5, 6, 7, 8, 9, 10, 11, 14, 16, 17}) {
        SCOPED_TRACE(ios);
        QTemporaryDir tmp;
        const QString out = tmp.filePath(QStringLiteral("demo"));
        const CliRun r = runCli({QStringLiteral("demo"), QStringLiteral("--out"), out, QStringLiteral("--ios"),
                                 QString::number(ios), QStringLiteral("--json")});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        const QJsonObject demo = QJsonDocument::fromJson(r.out).object();
        EXPECT_TRUE(demo[QStringLiteral("backup")][QStringLiteral("productVersion")].toString().startsWith(QString::number(ios) + '.'));
        const QJsonObject categories = demo[QStringLiteral("extraction")][QStringLiteral("categories")].toObject();
        for (auto it = categories.begin(); it != categories.end(); ++it) {
            // No sample has a photo library.
            if (it.key() == QLatin1String("photo_library"))
                continue;
            EXPECT_GT(it.value()[QStringLiteral("items")].toInt() - it.value()[QStringLiteral("deleted")].toInt(), 0)
                << it.key().toStdString();
        }
        EXPECT_EQ(categories.size(), 12);
        if (ios == 9) {
            ios9 = categories;
        } else if (ios > 9) {
            EXPECT_EQ(categories.keys(), ios9.keys());
            for (auto it = ios9.begin(); it != ios9.end(); ++it) {
                const QJsonValue was = it.value(), is = categories[it.key()];
                EXPECT_EQ(is[QStringLiteral("items")].toInt() - is[QStringLiteral("deleted")].toInt(),
                          was[QStringLiteral("items")].toInt() - was[QStringLiteral("deleted")].toInt())
                    << it.key().toStdString();
                if (it.key() != QLatin1String("notes") && (ios < 11 || it.key() != QLatin1String("messages"))) {
                    EXPECT_EQ(is[QStringLiteral("deleted")], was[QStringLiteral("deleted")]) << it.key().toStdString();
                } else {
                    EXPECT_GT(is[QStringLiteral("deleted")].toInt(), 0) << it.key().toStdString();
                }
            }
        }
    }
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("demo"));
    ASSERT_EQ(runCli({QStringLiteral("demo"), QStringLiteral("--out"), out}).exitCode, 0);
    EXPECT_EQ(runCli({QStringLiteral("info"), out}).exitCode, 0);
}
