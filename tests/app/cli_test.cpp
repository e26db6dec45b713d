#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "SampleBackup.h"
#include "TestSupport.h"

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CliRun ibreader(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(IBR_CLI_PATH), args);
    CliRun r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

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

TEST(Cli, InfoJsonDescribesTheBackup)
{
    for (bool xml : {false, true}) {
        QTemporaryDir tmp;
        const QString folder = writeBackup(tmp, xml);
        const CliRun r = ibreader({QStringLiteral("info"), folder, QStringLiteral("--json")});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        EXPECT_EQ(o.value(QStringLiteral("deviceName")).toString(), QStringLiteral("Zoë's iPad"));
        EXPECT_EQ(o.value(QStringLiteral("productType")).toString(), QStringLiteral("iPad3,4"));
        EXPECT_EQ(o.value(QStringLiteral("serialNumber")).toString(), QStringLiteral("C39KQ0ABFFT9"));
        EXPECT_EQ(o.value(QStringLiteral("productVersion")).toString(), QStringLiteral("6.1.3"));
        EXPECT_EQ(o.value(QStringLiteral("iTunesVersion")).toString(), QStringLiteral("12.3.2.35"));
        EXPECT_EQ(o.value(QStringLiteral("lastBackupDate")).toString(), QStringLiteral("2013-07-09T08:07:06Z"));
        EXPECT_TRUE(o.value(QStringLiteral("encrypted")).toBool());
        EXPECT_EQ(o.value(QStringLiteral("fileSuffix")).toString(), QString());
        EXPECT_EQ(o.value(QStringLiteral("files")).toInt(), 2);
    }
}

TEST(Cli, FilesListsTheIndexAndFiltersByDomain)
{
    QTemporaryDir tmp;
    const QString folder = writeBackup(tmp, false);
    const CliRun r = ibreader({QStringLiteral("files"), folder, QStringLiteral("--domain"), QStringLiteral("MediaDomain"),
                            QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray rows = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(rows.size(), 1);
    const QJsonObject row = rows.at(0).toObject();
    EXPECT_EQ(row.value(QStringLiteral("domain")).toString(), QStringLiteral("MediaDomain"));
    EXPECT_EQ(row.value(QStringLiteral("relativePath")).toString(), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG"));
    EXPECT_EQ(row.value(QStringLiteral("size")).toInt(), 4);
    EXPECT_EQ(row.value(QStringLiteral("hashName")).toString(),
              sample::hashedName(QStringLiteral("MediaDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG")));
}

TEST(Cli, ErrorsGiveMessagesAndExitCodes)
{
    QTemporaryDir tmp;
    const CliRun notBackup = ibreader({QStringLiteral("info"), tmp.path()});
    EXPECT_EQ(notBackup.exitCode, 4);
    EXPECT_TRUE(notBackup.err.contains("is not a backup folder")) << notBackup.err.constData();
    const CliRun missing = ibreader({QStringLiteral("files"), tmp.filePath(QStringLiteral("none"))});
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(ibreader({QStringLiteral("frobnicate")}).exitCode, 2);
    EXPECT_EQ(ibreader({QStringLiteral("info")}).exitCode, 2);
    EXPECT_EQ(ibreader({QStringLiteral("info"), tmp.path(), QStringLiteral("--bogus")}).exitCode, 2);
}

TEST(Cli, DemoWritesAndReadsASample)
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("demo"));
    const CliRun r = ibreader({QStringLiteral("demo"), QStringLiteral("--out"), out});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.contains("Demo iPhone"));
    EXPECT_TRUE(QFile::exists(QDir(out).filePath(QStringLiteral("Manifest.mbdb"))));
}
