// Marketing names: the built-in table, the downloaded map, the family fallback, and the hand-over
// of the map between threads.

#include <QStringList>

#include <atomic>
#include <thread>

#include "CatalogueFixture.h"
#include "TestSupport.h"

namespace {

struct Resolution {
    const char* identifier;
    const char* name;
};

// One identifier per built-in row, in the table's order; each is exactly the row's prefix (or
// the prefix plus a digit), so a general row placed before a specific one changes an answer.
const Resolution kBuiltInRows[] = {
    {"iPod1,1", "iPod touch"},       {"iPod2,1", "iPod touch 2G"},  {"iPod3,1", "iPod touch 3G"},
    {"iPod4,1", "iPod touch 4G"},    {"iPod5,1", "iPod touch 5G"},  {"iPhone1,1", "iPhone"},
    {"iPhone1,2", "iPhone 3G"},      {"iPhone2,1", "iPhone 3GS"},   {"iPhone3,1", "iPhone 4"},
    {"iPhone4,1", "iPhone 4S"},      {"iPhone5,1", "iPhone 5"},     {"iPhone5,2", "iPhone 5"},
    {"iPhone5,3", "iPhone 5C"},      {"iPhone5,4", "iPhone 5C"},    {"iPhone6,1", "iPhone 5S"},
    {"iPhone6,2", "iPhone 5S"},      {"iPad1,1", "iPad"},           {"iPad2,5", "iPad mini"},
    {"iPad2,6", "iPad mini"},        {"iPad2,7", "iPad mini"},      {"iPad2,1", "iPad 2"},
    {"iPad3,4", "iPad 4"},           {"iPad3,5", "iPad 4"},         {"iPad3,6", "iPad 4"},
    {"iPad3,1", "The New iPad"},     {"iPad4,1", "iPad Air"},       {"iPad4,2", "iPad Air"},
    {"iPad4,4", "iPad mini 2"},      {"iPad4,5", "iPad mini 2"},
};

TEST(BuiltInDeviceTypes, PrefixRulesAndMisses)
{
    ASSERT_EQ(std::size(kBuiltInRows), 29u);
    for (const Resolution& r : kBuiltInRows)
        EXPECT_EQ(CiTunesBackupManager::builtInDeviceType(QLatin1String(r.identifier)), QLatin1String(r.name))
            << r.identifier;
    const Resolution cases[] = {
        {"iPhone3,3", "iPhone 4"},     // general row
        {"iPad2,4", "iPad 2"},         // general row after the mini rows
        {"iPad3,3", "The New iPad"},   // general row after the iPad 4 rows
        {"iPad2,50", "iPad mini"},     // plain prefix: "iPad2,5" matches
        {"iPhone5,10", "iPhone 5"},    // plain prefix: "iPhone5,1" matches
        {"iPod1,", "iPod touch"},      // the prefix alone
        {"iPhone7,2", ""},             // newer than the table
        {"iPad4,3", ""},               // a gap between rows
        {"iPad4,6", ""},
        {"iPad1,2", ""},
        {"iPhone1,3", ""},
        {"iPhone3", ""},               // no comma: "iPhone3," does not match
        {"iphone1,1", ""},             // case-sensitive
        {" iPhone1,1", ""},            // prefix, not substring
        {"", ""},
    };
    for (const Resolution& r : cases)
        EXPECT_EQ(CiTunesBackupManager::builtInDeviceType(QLatin1String(r.identifier)), QLatin1String(r.name))
            << r.identifier;
}

TEST(BuiltInDeviceTypes, FamilyNames)
{
    const Resolution cases[] = {
        {"iPhone7,2", "iPhone"}, {"iPod7,1", "iPod touch"}, {"iPad5,3", "iPad"}, {"iPodX", "iPod touch"},
        {"Watch1,1", "Watch1,1"}, {"iphone9,1", "iphone9,1"}, {"", ""},
    };
    for (const Resolution& r : cases)
        EXPECT_EQ(CiTunesBackupManager::deviceFamilyName(QLatin1String(r.identifier)), QLatin1String(r.name))
            << r.identifier;
}

TEST(BuiltInDeviceTypes, WithoutCatalogue)
{
    EXPECT_EQ(CiTunesBackupManager::deviceTypeName(nullptr, QStringLiteral("iPad3,4")), QStringLiteral("iPad 4"));
    EXPECT_EQ(CiTunesBackupManager::deviceTypeName(nullptr, QStringLiteral("iPhone7,2")), QStringLiteral("iPhone"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1);
}

class DeviceTypeMapTest : public CatalogueFixture
{
};

TEST_F(DeviceTypeMapTest, LayersInOrder)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6")},
                                          {QStringLiteral("iPhone5,2"), QStringLiteral("Not used")}}));
    // The built-in table wins over the map.
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone5,2")), QStringLiteral("iPhone 5"));
    // A map hit neither falls back nor starts the download.
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone7,2")), QStringLiteral("iPhone 6"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1);
    // Exact keys only.
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPhone7,")), QString());
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iphone7,2")), QString());
    // A miss everywhere gives the family and creates the download (not started: no address).
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPhone8,1")), QStringLiteral("iPhone"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), 2);
}

TEST_F(DeviceTypeMapTest, ListTextVariants)
{
    const QString base = deviceTypeList({{QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6")}});
    struct Case {
        const char* what;
        QString text;
        QString key;
        QString expected;       // getDeviceType(key) afterwards
        bool keepsPrevious;     // "iPhone7,2" still named
    };
    const Case cases[] = {
        {"array root", QStringLiteral("<plist version=\"1.0\"><array><string>x</string></array></plist>"),
         QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"empty text", QString(), QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"not a plist", QStringLiteral("<html>404</html>"), QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"truncated", base.left(base.size() / 2), QStringLiteral("iPhone7,2"), QStringLiteral("iPhone 6"), true},
        {"number value skipped",
         QStringLiteral("<plist version=\"1.0\"><dict><key>iPad5,1</key><integer>7</integer>"
                        "<key>iPad5,3</key><string>iPad Air 2</string></dict></plist>"),
         QStringLiteral("iPad5,3"), QStringLiteral("iPad Air 2"), false},
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
    for (const Case& c : cases) {
        m->setupDeviceTypeMap(base);
        ASSERT_EQ(m->getDeviceType(QStringLiteral("iPhone7,2")), QStringLiteral("iPhone 6"));
        m->setupDeviceTypeMap(c.text);
        EXPECT_EQ(m->getDeviceType(c.key), c.expected) << c.what;
        EXPECT_EQ(!m->getDeviceType(QStringLiteral("iPhone7,2")).isEmpty(), c.keepsPrevious) << c.what;
    }
    // The number-valued key is absent, not empty-named.
    m->setupDeviceTypeMap(cases[4].text);
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPad5,1")), QString());
    EXPECT_EQ(m->deviceTypeName(QStringLiteral("iPad5,1")), QStringLiteral("iPad"));
}

TEST_F(DeviceTypeMapTest, TraceLines)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    testsupport::LogCapture log;
    m->setupDeviceTypeMap(QStringLiteral("garbage"));
    std::vector<std::string> texts;
    for (const auto& l : log.lines())
        texts.push_back(l.text);
    EXPECT_EQ(texts, std::vector<std::string>{" ()"});

    log.clear();
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("a"), QStringLiteral("b")}}));
    texts.clear();
    for (const auto& l : log.lines()) {
        EXPECT_EQ(l.module, "CiTunesBackupManager");
        EXPECT_EQ(l.level, 1);
        texts.push_back(l.text);
    }
    const std::vector<std::string> expected{" plist_dict_iter", " plist_dict_iter()", " plist_free_block",
                                            " plist_free_block()", " plist_free", " plist_free()", " ()"};
    EXPECT_EQ(texts, expected);
}

TEST_F(DeviceTypeMapTest, InstanceLoadsSavedList)
{
    saveList(deviceTypeList({{QStringLiteral("iPhone7,1"), QStringLiteral("iPhone 6 Plus")}}));
    testsupport::LogCapture log;
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPhone7,1")), QStringLiteral("iPhone 6 Plus"));
    EXPECT_EQ(log.count("CiTunesBackupManager", " m_pSolo->setupDeviceTypeMap"), 1);
    EXPECT_EQ(log.count("ThreadDownload", " ThreadDownload::currentConfig"), 1);
    EXPECT_EQ(log.count("CiTunesBackupManager", " m_pSolo->setupDeviceTypeMap()"), 1);
    EXPECT_EQ(CiTunesBackupManager::getInstance(), m);
    EXPECT_EQ(log.count("ThreadDownload", " ThreadDownload::currentConfig"), 1); // no second load
}

TEST_F(DeviceTypeMapTest, CopiesKeepTheirSnapshot)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("x"), QStringLiteral("old")}}));
    CiTunesBackupManager copy(*m);
    m->setupDeviceTypeMap(deviceTypeList({{QStringLiteral("x"), QStringLiteral("new")}}));
    EXPECT_EQ(copy.getDeviceType(QStringLiteral("x")), QStringLiteral("old"));
    EXPECT_EQ(m->getDeviceType(QStringLiteral("x")), QStringLiteral("new"));
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
    int reads = 0, bad = 0;
    while (!done || reads < 2000) {
        const QString key = QStringLiteral("iPhone9%1,1").arg(reads % 50);
        const QString name = m->getDeviceType(key);
        if (name != QLatin1String("A") && name != QLatin1String("B"))
            ++bad;
        if (reads % 100 == 0) {
            CiTunesBackupManager copy(*m); // copying reads the map too
            if (copy.getDeviceType(key).isEmpty())
                ++bad;
        }
        ++reads;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

} // namespace
