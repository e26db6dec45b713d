// Safari bookmarks with their folders, the reading list and history property lists, and the
// factory bookmarks.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <plist/plist.h>

#include <tuple>
#include <vector>

#include "CBookmarkCollection.h"
#include "CollectionSample.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"

namespace {

using Row = std::tuple<QString, QString, QString>; // title, address, group

plist_t str(const char* s)
{
    return plist_new_string(s);
}

plist_t dict(std::initializer_list<std::pair<const char*, plist_t>> items)
{
    plist_t d = plist_new_dict();
    for (const auto& [key, value] : items)
        plist_dict_set_item(d, key, value);
    return d;
}

plist_t array(std::initializer_list<plist_t> items)
{
    plist_t a = plist_new_array();
    for (plist_t item : items)
        plist_array_append_item(a, item);
    return a;
}

QByteArray serialized(plist_t root, bool xml = false)
{
    char* bytes = nullptr;
    uint32_t length = 0;
    xml ? plist_to_xml(root, &bytes, &length) : plist_to_bin(root, &bytes, &length);
    const QByteArray out(bytes, qsizetype(length));
    xml ? plist_to_xml_free(bytes) : plist_to_bin_free(bytes);
    plist_free(root);
    return out;
}

QByteArray readingListPlist()
{
    return serialized(dict({{"Children",
        array({dict({{"URIDictionary", dict({{"title", str("Read later")}, {"", str("http://a.example.com/x")}})}}),
               dict({{"URIDictionary", dict({{"", str("https://news.example.org/story/1")}})}}),
               dict({{"URIDictionary", dict({{"title", str("Moved")}, {"", str("http://old.example/")}})},
                     {"redirectURLs", array({str("http://new.example/")})}}),
               dict({{"Title", str("BookmarksBar")}, {"Children", array({})}}), // a folder: no address
               str("odd")})}}));
}

QByteArray historyPlist()
{
    return serialized(dict({{"WebHistoryDates",
        array({dict({{"", str("http://short.example/")}, {"title", str("Long page")}, {"visitCount", plist_new_uint(3)},
                     {"redirectURLs", array({str("https://www.short.example/landing"), str("https://second.example/")})}}),
               dict({{"", str("http://host.example/p?q=1")}, {"visitCount", plist_new_uint(1)}}),
               dict({{"", str("http://kept.example/")}, {"title", str("No redirect")}, {"redirectURLs", array({})}})})},
        {"WebHistoryFileVersion", plist_new_uint(1)}}));
}

const std::vector<Row> kReadingListRows = {
    {"Read later", "http://a.example.com/x", "Reading List"},
    {"news.example.org", "https://news.example.org/story/1", "Reading List"},
    {"Moved", "http://new.example/", "Reading List"},
    {"", "", "Reading List"},
    {"", "", "Reading List"},
};

// One entry per page, however often it was visited; a redirected page shows where it led.
const std::vector<Row> kHistoryRows = {
    {"Long page", "https://www.short.example/landing", "History"},
    {"host.example", "http://host.example/p?q=1", "History"},
    {"No redirect", "http://kept.example/", "History"},
};

// Folders: Root (0), BookmarksBar (1), the reading list (2), Travel (40, a row after its
// bookmark's). Bookmark 7's parent does not exist; row 8 has no address.
bool buildBookmarks(sqlite3* db)
{
    return collsample::execAll(
        db, ibr::iosSchemaStatements(8, QStringLiteral("Bookmarks.db"))
                << "INSERT INTO bookmarks (id, parent, type, title, url, order_index) VALUES "
                   "(0, NULL, 1, 'Root', NULL, 0), (1, 0, 1, 'BookmarksBar', NULL, 0), (2, 0, 1, 'com.apple.ReadingList', NULL, 1), "
                   "(3, 0, 0, 'Top level', 'http://top.example.com/', 2), (4, 1, 0, 'In the bar', 'https://bar.example.org/a/b', 0), "
                   "(5, 2, 0, '', 'https://read.example.net/article/1', 0), (6, 40, 0, NULL, 'http://travel.example', 0), "
                   "(7, 99, 0, 'Orphan', 'http://orphan.example/', 3), (8, 0, 0, 'No address', '', 4), (40, 0, 1, 'Travel', NULL, 5)");
}

const std::vector<Row> kDatabaseRows = {
    {"Top level", "http://top.example.com/", ""},
    {"In the bar", "https://bar.example.org/a/b", "BookmarksBar"},
    {"read.example.net", "https://read.example.net/article/1", "Reading List"},
    {"travel.example", "http://travel.example", "Travel"},
    {"Orphan", "http://orphan.example/", ""},
};

std::vector<Row> rows(const KdData* data, int from = 0)
{
    std::vector<Row> out;
    for (int i = from; i < data->count(); ++i) {
        const auto* item = dynamic_cast<const KdSafariBookmarkItem*>(data->at(i, false));
        EXPECT_TRUE(item && item->size() == 0);
        if (item)
            out.emplace_back(item->value(0), item->value(1), item->bookmarkGroup());
    }
    return out;
}

std::vector<Row> concat(std::initializer_list<std::vector<Row>> parts)
{
    std::vector<Row> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(TitleFromUrlTest, EmptyTitleBecomesTheHost)
{
    const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
        // title, url, expected title
        {"Given", "http://www.example.com/page", "Given"},
        {"", "http://www.example.com/page", "www.example.com"},
        {"", "HTTPS://Host.Example:8080/a/b?c=/d", "Host.Example:8080"},
        {"", "https://host.only", "host.only"},
        {"", "example.com/path", "example.com"},
        {"", "about:blank", "about:blank"},
        {"", "/local/file.html", "/local/file.html"}, // a "/" at position 0 takes the rest
        {"", "file:///var/mobile/x.html", ""},        // the "/" right after "://" gives an empty host
        {"", "ftp://", ""},
        {"", "", ""},
    };
    for (const auto& [title, url, expected] : cases) {
        QString t = QString::fromUtf8(title);
        titleFromUrl(t, QString::fromUtf8(url));
        EXPECT_EQ(t, QString::fromUtf8(expected)) << url;
    }
}

TEST(BookmarkPlistTest, UnreadableOrUnexpectedFilesAddNothing)
{
    QByteArray truncated = historyPlist();
    truncated.chop(40);
    const std::vector<std::tuple<const char*, QByteArray, bool>> cases = {
        // name, contents (empty: no file), result; a false result comes with one log line
        {"missing", QByteArray(), false},
        {"xml", serialized(dict({{"WebHistoryDates", array({dict({{"", str("http://x.example/")}})})}}), true), false},
        {"truncated", truncated, false},
        {"garbage", QByteArray("bplist00\xff\xff\xff", 11), false},
        {"root is an array", serialized(array({str("http://x.example/")})), true},
        {"no array", serialized(dict({{"Other", array({})}})), true},
        {"array is a string", serialized(dict({{"WebHistoryDates", str("http://x.example/")}, {"Children", str("x")}})), true},
    };
    QTemporaryDir dir;
    for (const auto& [name, bytes, result] : cases) {
        SCOPED_TRACE(name);
        const QString path = dir.filePath(QString::fromUtf8(name));
        ASSERT_TRUE(bytes.isEmpty() || testsupport::writeFile(path, bytes));
        KdData data(KdData::SafariBookmarks);
        testsupport::LogCapture log;
        EXPECT_EQ(parseHistoryPlist(&data, path), result);
        EXPECT_EQ(parseReadingListPlist(&data, path), result);
        EXPECT_EQ(data.count(), 0);
        EXPECT_EQ(log.lines().size(), result ? 0u : 2u);
    }
    KdData data(KdData::SafariBookmarks);
    EXPECT_FALSE(parseHistoryPlist(&data, dir.path())); // a folder is no file
}

// Database, then reading list, then history; without the database the lists are still read.
// Items that were there before keep their group.
TEST(BookmarkCollectionTest, DatabaseThenReadingListThenHistory)
{
    for (const bool withDatabase : {true, false}) {
        QTemporaryDir dir;
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")));
        if (withDatabase)
            w.addDatabase("HomeDomain", "Library/Safari/Bookmarks.db", &buildBookmarks);
        w.addFile("HomeDomain", "Library/Safari/Bookmarks.plist", readingListPlist());
        w.addFile("HomeDomain", "Library/Safari/History.plist", historyPlist());
        ASSERT_TRUE(w.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(w.folder()));
        KdBackup model;
        KdData* safari = model.getSafariBookmark();
        KdSafariBookmarkItem* earlier = KdSafariBookmarkItem::createItem();
        earlier->setBookmarkGroup(QStringLiteral("Kept"));
        safari->append(earlier);
        testsupport::LogCapture log;
        testsupport::ProgressRecorder progress(100);
        CBookmarkCollection collection(safari);
        collection.setProgress(&progress);
        collection.collect(b.path(), b.files(), b.fileSuffix());

        EXPECT_EQ(rows(safari), concat({{{"", "", "Kept"}}, withDatabase ? kDatabaseRows : std::vector<Row>(),
                                        kReadingListRows, kHistoryRows}));
        EXPECT_EQ(progress.steps.size(), withDatabase ? 10u : 0u); // a step per row, folders too
        EXPECT_EQ(safari->data(safari->index(4, 2)).toString(), withDatabase ? "Travel" : "Reading List");
        const QString database = QDir(w.folder()).absoluteFilePath(sample::hashedName("HomeDomain", "Library/Safari/Bookmarks.db"));
        EXPECT_EQ(log.lines().size(), withDatabase ? 0u : 1u);
        EXPECT_EQ(log.count("iTunesBackup", "Not exists: " + database.toStdString()), withDatabase ? 0 : 1);
    }
}

TEST(DefaultBookmarksTest, HomePagesThenTheGuideOfTheDeviceFamily)
{
    const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
        {"iPad4,1", "iPad User Guide", "http://help.apple.com/ipad/"},
        {"iPhone7,2", "iPhone User Guide", "http://help.apple.com/iphone/"},
        {"iPod5,1", "iPod touch User Guide", "http://help.apple.com/ipodtouch/"},
        {"ipad2,1", "iPod touch User Guide", "http://help.apple.com/ipodtouch/"}, // case matters
        {"", "iPod touch User Guide", "http://help.apple.com/ipodtouch/"},
    };
    for (const auto& [deviceType, guide, guideUrl] : cases) {
        SCOPED_TRACE(deviceType);
        KdData data(KdData::SafariBookmarks);
        KdSafariBookmarkItem* mine = KdSafariBookmarkItem::createItem();
        mine->setValue(QStringLiteral("Mine"), 0);
        data.append(mine);
        addDefaultBookmarks(&data, QString::fromUtf8(deviceType));
        const std::vector<Row> added = rows(&data, 1);
        ASSERT_EQ(added.size(), 5u);
        EXPECT_EQ(added.back(), (Row{guide, guideUrl, ""}));
    }
    addDefaultBookmarks(nullptr, QStringLiteral("iPad4,1"));
}

// History.db of each layout: every visit with the title the page had then, newest first, and
// the time of the visit as text and as a date to sort by.
TEST(BookmarkCollectionTest, EveryVisitOfHistoryDb)
{
    for (int ios : {9, 10, 11}) {
        SCOPED_TRACE(ios);
        QTemporaryDir dir;
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")), ios >= 10);
        ASSERT_FALSE(w.addDatabase("HomeDomain", "Library/Safari/History.db", [ios](sqlite3* db) {
            QStringList sql = ibr::iosSchemaStatements(ios, QStringLiteral("History.db"));
            sql.replaceInStrings(QLatin1String("visit_count_score INTEGER NOT NULL"), QLatin1String("visit_count_score INTEGER NOT NULL DEFAULT 0"));
            return collsample::execAll(db, sql << "INSERT INTO history_items (id, url, visit_count, daily_visit_counts, "
                                                  "should_recompute_derived_visit_counts) VALUES (1, 'http://short.example/', 1, x'', 0), "
                                                  "(2, 'https://news.example/a', 2, x'', 0)"
                                               << "INSERT INTO history_visits (id, history_item, visit_time, title, redirect_destination) "
                                                  "VALUES (1, 1, 500000000.25, NULL, 2), (2, 2, 500000000.5, 'Front page', NULL), "
                                                  "(3, 2, 500090000, 'Front page, later', NULL)");
        }).isEmpty());
        ASSERT_TRUE(w.write());
        KdBackup model;
        EXPECT_EQ(collsample::rows(collsample::collect<CBookmarkCollection>(model.getSafariBookmark(), w.folder()),
                                   [](const KdAbstractItem* item) {
                                       return QStringList{item->value(0), item->value(1),
                                                          static_cast<const KdSafariBookmarkItem*>(item)->bookmarkGroup(), item->value(3),
                                                          item->sortValue(3).toDateTime().toString(Qt::ISODate)};
                                   }),
                  (QStringList{"Front page, later|https://news.example/a|History|2016-11-06 01:53|2016-11-06T01:53:20Z",
                               "Front page|https://news.example/a|History|2016-11-05 00:53|2016-11-05T00:53:20Z",
                               "short.example|http://short.example/|History|2016-11-05 00:53|2016-11-05T00:53:20Z"}));
    }
}
