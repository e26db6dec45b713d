// Finding and ordering the backups under a backup root.

#include <QDir>
#include <QFileInfo>

#include <climits>

#include "AppDataFolder.h"
#include "CatalogueFixture.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"

namespace {

// Backup folders are named by the device's 40-digit identifier.
QString deviceId(int n)
{
    return QStringLiteral("%1").arg(n, 40, 16, QLatin1Char('0'));
}

QDateTime utc(int y, int mo, int d, int h = 12)
{
    return QDateTime(QDate(y, mo, d), QTime(h, 0), Qt::UTC);
}

// Without Info.plist the name comes from Manifest.plist, and the date from its "Date" if set.
void writeBackup(const QString& folder, const QString& deviceName, const QDateTime& date = utc(2015, 1, 1),
                 bool withInfoPlist = true)
{
    sample::SampleBackupWriter w(folder);
    w.setDevice(deviceName, QStringLiteral("iPhone5,2"), QStringLiteral("8.4"), date);
    if (!withInfoPlist) {
        w.writeInfoPlist = false;
        w.lockdown[QStringLiteral("DeviceName")] = deviceName;
        w.manifestDate = date;
    }
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/x.plist"), QByteArray("x"));
    ASSERT_TRUE(w.write());
}

class ManagerTest : public CatalogueFixture
{
protected:
    void SetUp() override
    {
        CatalogueFixture::SetUp();
        m_root = m_tmp.filePath(QStringLiteral("Backup"));
        ASSERT_TRUE(QDir().mkpath(m_root));
    }
    QString folder(const QString& name) const { return m_root + QLatin1Char('/') + name; }
    // Folder names and device names, newest first.
    static QStringList listed(const CiTunesBackupManager* m)
    {
        QStringList out;
        for (unsigned int i = 0; i < m->numberOfBackups(); ++i)
            out << QFileInfo(m->backupByIndex(i)->path()).fileName() + QStringLiteral(": ") + m->backupByIndex(i)->deviceName();
        return out;
    }

    QString m_root;
};

} // namespace

// Newest first; backups without any date sort as if made at 2001-01-01 00:00. A folder that is
// no backup is reported (with the two dot entries, by their absolute paths); a stray file is not.
TEST_F(ManagerTest, BackupsNewestFirstAndFoldersThatAreNoBackupReported)
{
    writeBackup(folder(deviceId(1)), QStringLiteral("2013"), utc(2013, 3, 1));
    writeBackup(folder(deviceId(2)), QStringLiteral("1999"), utc(1999, 12, 31));
    writeBackup(folder(deviceId(3)), QStringLiteral("2016"), utc(2016, 7, 4));
    writeBackup(folder(deviceId(4)), QStringLiteral("manifest 2015"), utc(2015, 6, 1), false);
    writeBackup(folder(deviceId(5)), QStringLiteral("2001-01-02"), utc(2001, 1, 2));
    writeBackup(folder(deviceId(6)), QStringLiteral("undated"), QDateTime(), false);
    ASSERT_TRUE(testsupport::writeFile(folder(QStringLiteral("notes/todo.txt")), "not a backup"));
    ASSERT_TRUE(testsupport::writeFile(folder(QStringLiteral("readme.txt")), "stray file"));

    testsupport::LogCapture log;
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    EXPECT_EQ(listed(m), (QStringList{deviceId(3) + QStringLiteral(": 2016"), deviceId(4) + QStringLiteral(": manifest 2015"),
                                      deviceId(1) + QStringLiteral(": 2013"), deviceId(5) + QStringLiteral(": 2001-01-02"),
                                      deviceId(6) + QStringLiteral(": undated"), deviceId(2) + QStringLiteral(": 1999")}));
    EXPECT_EQ(m->backupByIndex(4)->backupDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));

    QStringList failed;
    for (const auto& l : log.lines())
        if (l.module == "iTunesBackup" && l.level == 0 && l.text.rfind("Fail to parse /", 0) == 0)
            failed << QString::fromStdString(l.text.substr(14));
    failed.sort();
    QStringList expected{folder(QStringLiteral("notes")), m_root, QFileInfo(m_root).absolutePath()};
    expected.sort();
    EXPECT_EQ(failed, expected);

    // A second search appends the same backups again, as new objects.
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 12u);
    EXPECT_EQ(listed(m).mid(0, 2), (QStringList(2, deviceId(3) + QStringLiteral(": 2016"))));
    EXPECT_NE(m->backupByIndex(0), m->backupByIndex(1));
}

// Text after a dash right behind the 40-digit identifier names a copy of the device's backup.
TEST_F(ManagerTest, FolderNameSuffixNamesTheCopy)
{
    const struct {
        QString name;
        const char* deviceName;
    } cases[] = {
        {deviceId(7) + QStringLiteral("-abcdefghijklmno"), "D - abcdefghijklmno"},
        {deviceId(8) + QStringLiteral("-"), "D"},                 // ends in the dash
        {deviceId(9) + QStringLiteral("xy"), "D"},                // no dash at 40
        {deviceId(10) + QStringLiteral("-z"), "D - z"},           // shortest suffix
        {deviceId(11) + QStringLiteral("--x"), "D - -x"},         // dashes after 40 are text
        {deviceId(12).left(39) + QStringLiteral("-abc"), "D"},    // dash at index 39
        {QStringLiteral("short-name"), "D"},
    };
    for (const auto& c : cases)
        writeBackup(folder(c.name), QStringLiteral("D"));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    QStringList got = listed(m), expected;
    for (const auto& c : cases)
        expected << c.name + QStringLiteral(": ") + QLatin1String(c.deviceName);
    got.sort();
    expected.sort();
    EXPECT_EQ(got, expected);
}

TEST_F(ManagerTest, EmptyMissingAndOutOfRange)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    for (const QString& root : {m_root, m_root + QStringLiteral("/missing"), QString()})
        EXPECT_TRUE(m->searchBackups(root)) << root.toStdString();
    EXPECT_EQ(m->numberOfBackups(), 0u);
    EXPECT_EQ(m->backupByIndex(0), nullptr);
    writeBackup(folder(deviceId(1)), QStringLiteral("P"));
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 1u);
    EXPECT_NE(m->backupByIndex(0), nullptr);
    for (unsigned int i : {1u, 2u, UINT_MAX})
        EXPECT_EQ(m->backupByIndex(i), nullptr) << i;
}

// The default root follows $APPDATA where there is no shell to ask.
TEST_F(ManagerTest, DefaultRootUnderApplicationData)
{
    const QByteArray saved = qgetenv("APPDATA");
    const bool hadAppData = qEnvironmentVariableIsSet("APPDATA");
    const QString appData = m_tmp.filePath(QStringLiteral("Roaming"));
    qputenv("APPDATA", appData.toUtf8());
    writeBackup(appData + QStringLiteral("/Apple Computer/MobileSync/Backup/") + deviceId(5), QStringLiteral("P"));
    QString root;
    ASSERT_TRUE(defaultBackupRoot(&root));
    EXPECT_EQ(root, appData + QStringLiteral("/Apple Computer/MobileSync/Backup"));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    EXPECT_TRUE(m->searchBackups());
    EXPECT_EQ(m->numberOfBackups(), 1u);

    qunsetenv("APPDATA");
    QString folder;
    EXPECT_TRUE(roamingAppDataFolder(&folder));
    EXPECT_FALSE(folder.isEmpty());
    EXPECT_NE(folder, appData);
    if (hadAppData)
        qputenv("APPDATA", saved);
}

// Copies list the same backup objects; whichever of them goes last deletes them, once.
TEST_F(ManagerTest, CopiesShareBackupsWithoutDoubleDelete)
{
    writeBackup(folder(deviceId(1)), QStringLiteral("A"));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    auto* copy = new CiTunesBackupManager(*m);
    ASSERT_EQ(copy->numberOfBackups(), 1u);
    EXPECT_EQ(copy->backupByIndex(0), m->backupByIndex(0));
    CiTunesBackupManager assigned(*copy);
    const CiTunesBackupManager& same = assigned;
    assigned = same; // self-assignment keeps everything
    ASSERT_EQ(assigned.numberOfBackups(), 1u);

    ASSERT_TRUE(copy->searchBackups(m_root)); // lists in the copy only
    EXPECT_EQ(copy->numberOfBackups(), 2u);
    EXPECT_EQ(m->numberOfBackups(), 1u);

    CiTunesBackupManager::releaseInstance();
    EXPECT_EQ(copy->backupByIndex(0)->deviceName(), QStringLiteral("A")); // still alive
    delete copy;
    EXPECT_EQ(assigned.backupByIndex(0)->deviceName(), QStringLiteral("A"));
    assigned = *CiTunesBackupManager::getInstance(); // drops the last share of the old backups
    EXPECT_EQ(assigned.numberOfBackups(), 0u);
}
