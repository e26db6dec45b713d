#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "utility/Log.h"
#include "TestSupport.h"
#include "framework/ZuProductInfo.h"
#include "framework/ZuSettings.h"

TEST(Log, ThresholdAndFileOutput)
{
    QTemporaryDir tmp;
    const QString file = tmp.filePath(QStringLiteral("log.txt"));
    const int saved = ibrlog::level();
    ASSERT_TRUE(ibrlog::setFile(file.toStdString()));
    ibrlog::setLevel(0);
    Log("iTunesBackup", 0, "Start to collect data for: %s", "/b/\xc3\xa9");
    Log("iTunesBackup", 1, " trace %d", 7); // above the threshold: dropped
    Log(nullptr, 0, "%s", "no module");
    ibrlog::setFile(std::string());
    ibrlog::setLevel(saved);
    const QByteArray text = testsupport::readFile(file);
    EXPECT_TRUE(text.contains("[iTunesBackup] 0 Start to collect data for: /b/\xc3\xa9"));
    EXPECT_FALSE(text.contains("trace"));
    EXPECT_TRUE(text.contains("no module"));
}

TEST(Log, SinkSeesEveryLevel)
{
    testsupport::LogCapture capture;
    Log("ThreadDownload", 2, "detail %s", "x");
    EXPECT_EQ(capture.count("ThreadDownload", "detail x"), 1);
}

TEST(Framework, SettingsPersistAndProductParametersLayer)
{
    QTemporaryDir tmp;
    const QString file = tmp.filePath(QStringLiteral("s/ibreader.ini"));
    ZuSettings* s = ZuSettings::instance();
    const QString saved = s->storageFile();
    s->setStorageFile(file);
    EXPECT_EQ(s->applicationParam(QStringLiteral("BackupParser/DeviceType"), QString()).toString(), QString());
    s->setApplicationParam(QStringLiteral("BackupParser/DeviceType"), QStringLiteral("<plist/>"));
    s->setStorageFile(file); // a fresh read from disk
    EXPECT_EQ(s->applicationParam(QStringLiteral("BackupParser/DeviceType")).toString(), QStringLiteral("<plist/>"));
    s->setStorageFile(saved);

    ZuProductInfo* p = ZuProductInfo::instance();
    const QString ini = tmp.filePath(QStringLiteral("product.ini"));
    testsupport::writeFile(ini, "[product]\nfirmwareUrl=http://127.0.0.1:1/list/\n");
    p->setConfigFile(ini);
    qunsetenv("IBREADER_FIRMWAREURL");
    EXPECT_EQ(p->extendParam(QStringLiteral("firmwareUrl")), QStringLiteral("http://127.0.0.1:1/list/"));
    qputenv("IBREADER_FIRMWAREURL", "http://env/");
    EXPECT_EQ(p->extendParam(QStringLiteral("firmwareUrl")), QStringLiteral("http://env/"));
    p->setExtendParam(QStringLiteral("firmwareUrl"), QStringLiteral("http://override/"));
    EXPECT_EQ(p->extendParam(QStringLiteral("firmwareUrl")), QStringLiteral("http://override/"));
    p->clearOverrides();
    qunsetenv("IBREADER_FIRMWAREURL");
    p->setConfigFile(QString());
}

// QSettings reads its file when opened and again before each write; a FIFO there (or one
// planted once the file was read) would block it forever. Values then live in memory only.
TEST(Framework, SettingsFileThatIsAFifoIsNeverOpened)
{
    const QString key = QStringLiteral("BackupParser/DeviceType");
    ZuSettings* s = ZuSettings::instance();
    const QString saved = s->storageFile();
    for (bool plantedAfterRead : {false, true}) {
        QTemporaryDir tmp;
        const QString file = tmp.filePath(QStringLiteral("ibreader.ini"));
        if (plantedAfterRead)
            ASSERT_TRUE(testsupport::writeFile(file, "[BackupParser]\nDeviceType=read\n"));
        else
            ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        testsupport::LogCapture log;
        s->setStorageFile(file);
        EXPECT_EQ(s->applicationParam(key, QStringLiteral("default")).toString(),
                  plantedAfterRead ? QStringLiteral("read") : QStringLiteral("default"));
        if (plantedAfterRead) {
            ASSERT_TRUE(QFile::remove(file));
            ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        }
        s->setApplicationParam(QStringLiteral("Other/Key"), 7);
        EXPECT_EQ(s->applicationParam(QStringLiteral("Other/Key")).toInt(), 7);
        EXPECT_EQ(s->applicationParam(key, QStringLiteral("default")).toString(),
                  plantedAfterRead ? QStringLiteral("read") : QStringLiteral("default"));
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(file).constData(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode)); // never replaced by a written file
        EXPECT_TRUE(log.contains("is a FIFO")) << plantedAfterRead;
    }
    s->setStorageFile(saved);
}
