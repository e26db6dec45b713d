// Marketing names: the built-in table, the downloaded map, the family fallback, and the hand-over
// of the map between threads.

#include <atomic>
#include <thread>
#include <utility>

#include "CatalogueFixture.h"

namespace {

// Identifiers the built-in table names; a backup without a catalogue shows the same name.
const std::pair<const char*, const char*> kBuiltIn[] = {
    // One identifier per built-in row, in the table's order; each is exactly the row's prefix or
    // the prefix plus a digit, so a general row placed before a specific one changes an answer.
    {"iPod1,1", "iPod touch"}, {"iPod2,1", "iPod touch 2G"}, {"iPod3,1", "iPod touch 3G"}, {"iPod4,1", "iPod touch 4G"},
    {"iPod5,1", "iPod touch 5G"}, {"iPhone1,1", "iPhone"}, {"iPhone1,2", "iPhone 3G"}, {"iPhone2,1", "iPhone 3GS"},
    {"iPhone3,1", "iPhone 4"}, {"iPhone4,1", "iPhone 4S"}, {"iPhone5,1", "iPhone 5"}, {"iPhone5,2", "iPhone 5"},
    {"iPhone5,3", "iPhone 5C"}, {"iPhone5,4", "iPhone 5C"}, {"iPhone6,1", "iPhone 5S"}, {"iPhone6,2", "iPhone 5S"},
    {"iPad1,1", "iPad"}, {"iPad2,5", "iPad mini"}, {"iPad2,6", "iPad mini"}, {"iPad2,7", "iPad mini"}, {"iPad2,1", "iPad 2"},
    {"iPad3,4", "iPad 4"}, {"iPad3,5", "iPad 4"}, {"iPad3,6", "iPad 4"}, {"iPad3,1", "The New iPad"}, {"iPad4,1", "iPad Air"},
    {"iPad4,2", "iPad Air"}, {"iPad4,4", "iPad mini 2"}, {"iPad4,5", "iPad mini 2"},
    // General rows and plain prefixes.
    {"iPhone3,3", "iPhone 4"}, {"iPad2,4", "iPad 2"}, {"iPad3,3", "The New iPad"}, {"iPad2,50", "iPad mini"},
    {"iPhone5,10", "iPhone 5"}, {"iPod1,", "iPod touch"},
};
// Misses of the built-in table, and the name a backup without a catalogue shows for them: from
// the table of every model, else the family, else the identifier itself.
const std::pair<const char*, const char*> kNotBuiltIn[] = {
    {"iPhone7,2", "iPhone 6"}, {"iPad4,3", "iPad Air"}, {"iPad1,2", "iPad"}, {"iPhone1,3", "iPhone"},
    {"iPhone16,1", "iPhone 15 Pro"}, {"iPad13,18", "iPad (10th generation)"}, {"iPhone99,1", "iPhone"}, {"iPhone3", "iPhone"},
    {"iPod7,1", "iPod touch (6th generation)"}, {"iPodX", "iPod touch"}, {"iphone1,1", "iphone1,1"}, {" iPhone1,1", " iPhone1,1"},
    {"Watch1,1", "Watch1,1"}, {"", ""},
};

class DeviceTypeMapTest : public CatalogueFixture
{
};

} // namespace

TEST(BuiltInDeviceTypes, PrefixRulesFamiliesAndMisses)
{
    for (const auto& [id, name] : kBuiltIn) {
        EXPECT_EQ(CiTunesBackupManager::builtInDeviceType(QLatin1String(id)), QLatin1String(name)) << id;
        EXPECT_EQ(CiTunesBackupManager::deviceTypeName(nullptr, QLatin1String(id)), QLatin1String(name)) << id;
    }
    for (const auto& [id, name] : kNotBuiltIn) {
        EXPECT_EQ(CiTunesBackupManager::builtInDeviceType(QLatin1String(id)), QString()) << id;
        EXPECT_EQ(CiTunesBackupManager::deviceTypeName(nullptr, QLatin1String(id)), QLatin1String(name)) << id;
    }
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1); // no catalogue: no download
}

TEST_F(DeviceTypeMapTest, LayersInOrder)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6")},
                                          {QStringLiteral("iPhone5,2"), QStringLiteral("Not used")}}));
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone5,2")), QStringLiteral("iPhone 5")); // built-in wins
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone7,2")), QStringLiteral("iPhone 6"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1); // a map hit starts nothing
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPhone7,")), QString());   // exact keys only
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iphone7,2")), QString());
    // A miss everywhere gives the family and creates the download (not started: no address).
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone99,1")), QStringLiteral("iPhone"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), 2);
}

TEST_F(DeviceTypeMapTest, ListTextVariants)
{
    const QString base = deviceTypeList({{QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6")}});
    const struct {
        const char* what;
        QString text;
        QString key;
        QString expected;   // getDeviceType(key) afterwards
        bool keepsPrevious; // "iPhone7,2" still named
    } cases[] = {
        {"array root", QStringLiteral("<plist version=\"1.0\"><array><string>x</string></array></plist>"),
         QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"empty text", QString(), QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"not a plist", QStringLiteral("<html>404</html>"), QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"number value skipped",
         QStringLiteral("<plist version=\"1.0\"><dict><key>iPad5,1</key><integer>7</integer>"
                        "<key>iPad5,3</key><string>iPad Air 2</string></dict></plist>"),
         QStringLiteral("iPad5,1"), QString(), false},
        {"nested dict skipped",
         QStringLiteral("<plist version=\"1.0\"><dict><key>iPad5,1</key><dict/>"
                        "<key>iPod7,1</key><string>iPod touch 6G</string></dict></plist>"),
         QStringLiteral("iPod7,1"), QStringLiteral("iPod touch 6G"), false},
        {"empty dict empties the map", QStringLiteral("<plist version=\"1.0\"><dict/></plist>"),
         QStringLiteral("iPhone7,2"), QString(), false},
        {"UTF-8 names",
         QStringLiteral("<plist version=\"1.0\"><dict><key>iPhone8,4</key><string>iPhone SE \u2013 \u00fc</string>"
                        "</dict></plist>"),
         QStringLiteral("iPhone8,4"), QStringLiteral("iPhone SE \u2013 \u00fc"), false},
    };
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    for (const auto& c : cases) {
        m->setupDeviceTypeMap(base);
        m->setupDeviceTypeMap(c.text);
        EXPECT_EQ(m->getDeviceType(c.key), c.expected) << c.what;
        EXPECT_EQ(!m->getDeviceType(QStringLiteral("iPhone7,2")).isEmpty(), c.keepsPrevious) << c.what;
    }
}

// The saved list is read once, when the instance is created.
TEST_F(DeviceTypeMapTest, InstanceLoadsTheSavedListOnce)
{
    saveList(deviceTypeList({{QStringLiteral("iPhone7,1"), QStringLiteral("iPhone 6 Plus")}}));
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPhone7,1")), QStringLiteral("iPhone 6 Plus"));
    saveList(deviceTypeList({{QStringLiteral("iPhone7,1"), QStringLiteral("changed")}}));
    EXPECT_EQ(CiTunesBackupManager::getInstance(), m);
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPhone7,1")), QStringLiteral("iPhone 6 Plus"));
}

TEST_F(DeviceTypeMapTest, CopiesKeepTheirSnapshot)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("x"), QStringLiteral("old")}}));
    CiTunesBackupManager copy(*m);
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("x"), QStringLiteral("new")}}));
    EXPECT_EQ(copy.getDeviceType(QStringLiteral("x")), QStringLiteral("old"));
    copy = *m;
    EXPECT_EQ(copy.getDeviceType(QStringLiteral("x")), QStringLiteral("new"));
}

// Readers on this thread while another thread keeps installing lists: every answer comes from
// one complete list. Run under ThreadSanitizer this also proves the hand-over is synchronised.
TEST_F(DeviceTypeMapTest, ReadersWhileAnotherThreadInstalls)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    QMap<QString, QString> a, b;
    for (int i = 0; i < 50; ++i) {
        a.insert(QStringLiteral("iPhone9%1,1").arg(i), QStringLiteral("A"));
        b.insert(QStringLiteral("iPhone9%1,1").arg(i), QStringLiteral("B"));
    }
    const QString listA = deviceTypeList(a), listB = deviceTypeList(b);
    m->setupDeviceTypeMap(listA);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i)
            m->setupDeviceTypeMap(i % 2 ? listA : listB);
        done = true;
    });
    int bad = 0;
    for (int reads = 0; !done || reads < 2000; ++reads) {
        const QString key = QStringLiteral("iPhone9%1,1").arg(reads % 50);
        const QString name = reads % 100 ? m->getDeviceType(key) : CiTunesBackupManager(*m).getDeviceType(key);
        bad += name != QLatin1String("A") && name != QLatin1String("B");
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}
