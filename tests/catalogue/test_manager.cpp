// Finding and ordering the backups under a backup root.

#include <QDir>
#include <QFileInfo>
#include <QSet>

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

struct BackupShape {
    QString deviceName = QStringLiteral("Phone");
    QString productType = QStringLiteral("iPhone5,2");
    QDateTime date = utc(2015, 1, 1);
    bool withInfoPlist = true;
    QDateTime manifestDate; // when there is no Info.plist
};

BackupShape shape(const QString& deviceName, const QDateTime& date = utc(2015, 1, 1))
{
    BackupShape s;
    s.deviceName = deviceName;
    s.date = date;
    return s;
}

void writeBackup(const QString& folder, const BackupShape& shape)
{
    sample::SampleBackupWriter w(folder);
    if (shape.withInfoPlist) {
        w.setDevice(shape.deviceName, shape.productType, QStringLiteral("8.4"), shape.date);
    } else {
        w.writeInfoPlist = false;
        w.lockdown[QStringLiteral("DeviceName")] = shape.deviceName;
        w.lockdown[QStringLiteral("ProductType")] = shape.productType;
        w.manifestDate = shape.manifestDate;
    }
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/x.plist"), QByteArray("x"));
    QString error;
    ASSERT_TRUE(w.write(&error)) << error.toStdString();
}

bool newestFirst(const CiTunesBackupManager* m)
{
    for (unsigned int i = 1; i < m->numberOfBackups(); ++i)
        if (m->backupByIndex(i - 1)->backupDateTime() < m->backupByIndex(i)->backupDateTime())
            return false;
    return true;
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
    const CiTunesBackup* byFolderName(const CiTunesBackupManager* m, const QString& name) const
    {
        for (unsigned int i = 0; i < m->numberOfBackups(); ++i)
            if (QFileInfo(m->backupByIndex(i)->path()).fileName() == name)
                return m->backupByIndex(i);
        return nullptr;
    }

    QString m_root;
};

// The mix a real backup root holds: backups of several dates, two with the same date (one of
// them a suffixed copy), one without Info.plist, a folder that is no backup and a stray file.
TEST_F(ManagerTest, MixedBackupRoot)
{
    writeBackup(folder(deviceId(1)), shape(QStringLiteral("Old Phone"), utc(2014, 1, 1)));
    BackupShape pad = shape(QStringLiteral("Pad"), utc(2016, 5, 1));
    pad.productType = QStringLiteral("iPad3,4");
    writeBackup(folder(deviceId(2)), pad);
    writeBackup(folder(deviceId(2) + QStringLiteral("-20160501-101010")), pad);
    BackupShape manifestOnly = shape(QStringLiteral("Manifest Only"));
    manifestOnly.withInfoPlist = false;
    manifestOnly.manifestDate = utc(2015, 6, 1);
    writeBackup(folder(deviceId(3)), manifestOnly);
    ASSERT_TRUE(testsupport::writeFile(folder(QStringLiteral("notes/todo.txt")), "not a backup"));
    ASSERT_TRUE(testsupport::writeFile(folder(QStringLiteral("readme.txt")), "stray file"));

    testsupport::LogCapture log;
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 4u);

    // Newest first; the two of 2016-05-01 in either order.
    QSet<QString> first{QFileInfo(m->backupByIndex(0)->path()).fileName(),
                        QFileInfo(m->backupByIndex(1)->path()).fileName()};
    EXPECT_EQ(first, (QSet<QString>{deviceId(2), deviceId(2) + QStringLiteral("-20160501-101010")}));
    EXPECT_EQ(m->backupByIndex(2)->deviceName(), QStringLiteral("Manifest Only"));
    EXPECT_EQ(m->backupByIndex(2)->backupDateTime(), utc(2015, 6, 1));
    EXPECT_EQ(m->backupByIndex(3)->deviceName(), QStringLiteral("Old Phone"));

    const CiTunesBackup* copy = byFolderName(m, deviceId(2) + QStringLiteral("-20160501-101010"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->deviceName(), QStringLiteral("Pad - 20160501-101010"));
    EXPECT_EQ(byFolderName(m, deviceId(2))->deviceName(), QStringLiteral("Pad"));

    // The folder that is no backup and the two dot entries (the root and its parent, by their
    // absolute paths) are reported; the stray file is not.
    QStringList failed;
    for (const auto& l : log.lines())
        if (l.module == "iTunesBackup" && l.level == 0 && l.text.rfind("Fail to parse /", 0) == 0)
            failed.append(QString::fromStdString(l.text.substr(14)));
    failed.sort();
    QStringList expected{folder(QStringLiteral("notes")), m_root, QFileInfo(m_root).absolutePath()};
    expected.sort();
    EXPECT_EQ(failed, expected);
    EXPECT_FALSE(log.contains("readme.txt"));
}

TEST_F(ManagerTest, FolderNameSuffix)
{
    struct Case {
        QString name;
        QString deviceName;
    };
    const QString id = deviceId(7);
    const Case cases[] = {
        {id + QStringLiteral("-abcdefghijklmno"), QStringLiteral("D - abcdefghijklmno")}, // 40 + dash + 15
        {deviceId(8) + QStringLiteral("-"), QStringLiteral("D")},                      // 41, ends in the dash
        {deviceId(9) + QStringLiteral("xy"), QStringLiteral("D")},                     // 42, no dash at 40
        {deviceId(10) + QStringLiteral("-z"), QStringLiteral("D - z")},                // shortest suffix
        {deviceId(11) + QStringLiteral("--x"), QStringLiteral("D - -x")},              // dashes after 40 are text
        {deviceId(12).left(39) + QStringLiteral("-abc"), QStringLiteral("D")},         // dash at index 39
        {QStringLiteral("short-name"), QStringLiteral("D")},
    };
    for (const Case& c : cases)
        writeBackup(folder(c.name), shape(QStringLiteral("D")));

    testsupport::LogCapture log;
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), std::size(cases));
    for (const Case& c : cases) {
        const CiTunesBackup* b = byFolderName(m, c.name);
        ASSERT_NE(b, nullptr) << c.name.toStdString();
        EXPECT_EQ(b->deviceName(), c.deviceName) << c.name.toStdString();
    }

    const int n = static_cast<int>(std::size(cases));
    EXPECT_EQ(log.count("CiTunesBackupManager", " searchBackups"), n);
    EXPECT_EQ(log.count("CiTunesBackupManager", " setSuffix"), 3);
    EXPECT_EQ(log.count("CiTunesBackupManager", " setSuffix(suf)"), 3);
    EXPECT_EQ(log.count("CiTunesBackupManager", " append"), n);
    EXPECT_EQ(log.count("CiTunesBackupManager", " append(backup)"), n);
    EXPECT_EQ(log.count("CiTunesBackupManager", " qSort"), 1);
    EXPECT_EQ(log.count("CiTunesBackupManager", " qSort()"), 1);
}

// Backups without any date sort as if made at 2001-01-01 00:00, so they come after later ones
// and before earlier ones.
TEST_F(ManagerTest, OrderIncludesUndatedBackups)
{
    const QDateTime dates[] = {utc(2013, 3, 1), utc(1999, 12, 31), utc(2016, 7, 4), utc(2013, 3, 1), utc(2001, 1, 2)};
    int n = 0;
    for (const QDateTime& date : dates)
        writeBackup(folder(deviceId(++n)), shape(date.toString(Qt::ISODate), date));
    BackupShape undated = shape(QStringLiteral("undated"));
    undated.withInfoPlist = false;
    writeBackup(folder(deviceId(++n)), undated);

    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 6u);
    EXPECT_TRUE(newestFirst(m));
    EXPECT_EQ(m->backupByIndex(0)->backupDateTime(), utc(2016, 7, 4));
    EXPECT_EQ(m->backupByIndex(3)->deviceName(), QStringLiteral("2001-01-02T12:00:00Z"));
    EXPECT_EQ(m->backupByIndex(4)->deviceName(), QStringLiteral("undated"));
    EXPECT_EQ(m->backupByIndex(4)->backupDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(m->backupByIndex(5)->backupDateTime(), utc(1999, 12, 31));
}

TEST_F(ManagerTest, SecondSearchAppendsAgain)
{
    for (int i = 1; i <= 3; ++i)
        writeBackup(folder(deviceId(i)), shape(QStringLiteral("Phone"), utc(2010 + i, 1, 1)));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 6u);
    EXPECT_TRUE(newestFirst(m));
    QSet<const CiTunesBackup*> distinct;
    for (unsigned int i = 0; i < 6; ++i)
        distinct.insert(m->backupByIndex(i));
    EXPECT_EQ(distinct.size(), 6);
    EXPECT_EQ(m->backupByIndex(0)->backupDateTime(), m->backupByIndex(1)->backupDateTime());
}

TEST_F(ManagerTest, EmptyMissingAndOutOfRange)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    EXPECT_TRUE(m->searchBackups(m_root)); // exists, empty (apart from the dot entries)
    EXPECT_EQ(m->numberOfBackups(), 0u);
    EXPECT_TRUE(m->searchBackups(m_root + QStringLiteral("/missing")));
    EXPECT_TRUE(m->searchBackups(QString()));
    EXPECT_EQ(m->numberOfBackups(), 0u);
    EXPECT_EQ(m->backupByIndex(0), nullptr);

    writeBackup(folder(deviceId(1)), BackupShape());
    ASSERT_TRUE(m->searchBackups(m_root));
    ASSERT_EQ(m->numberOfBackups(), 1u);
    EXPECT_NE(m->backupByIndex(0), nullptr);
    EXPECT_EQ(m->backupByIndex(1), nullptr);
    EXPECT_EQ(m->backupByIndex(2), nullptr);
    EXPECT_EQ(m->backupByIndex(UINT_MAX), nullptr);
}

// The default root follows $APPDATA where there is no shell to ask.
TEST_F(ManagerTest, DefaultRootUnderApplicationData)
{
    const QByteArray saved = qgetenv("APPDATA");
    const bool hadAppData = qEnvironmentVariableIsSet("APPDATA");
    const QString appData = m_tmp.filePath(QStringLiteral("Roaming"));
    qputenv("APPDATA", appData.toUtf8());
    writeBackup(appData + QStringLiteral("/Apple Computer/MobileSync/Backup/") + deviceId(5), BackupShape());

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
    writeBackup(folder(deviceId(1)), shape(QStringLiteral("A")));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ASSERT_TRUE(m->searchBackups(m_root));

    auto* copy = new CiTunesBackupManager(*m);
    ASSERT_EQ(copy->numberOfBackups(), 1u);
    EXPECT_EQ(copy->backupByIndex(0), m->backupByIndex(0));

    CiTunesBackupManager assigned(*copy);
    const CiTunesBackupManager& same = assigned;
    assigned = same; // self-assignment keeps everything
    ASSERT_EQ(assigned.numberOfBackups(), 1u);

    // A search on a copy lists in the copy only.
    ASSERT_TRUE(copy->searchBackups(m_root));
    EXPECT_EQ(copy->numberOfBackups(), 2u);
    EXPECT_EQ(m->numberOfBackups(), 1u);

    CiTunesBackupManager::releaseInstance();
    EXPECT_EQ(copy->backupByIndex(0)->deviceName(), QStringLiteral("A")); // still alive
    delete copy;
    EXPECT_EQ(assigned.backupByIndex(0)->deviceName(), QStringLiteral("A"));
    assigned = *CiTunesBackupManager::getInstance(); // drops the last share of the old backups
    EXPECT_EQ(assigned.numberOfBackups(), 0u);
}

} // namespace
