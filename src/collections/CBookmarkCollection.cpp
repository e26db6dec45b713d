#include "CBookmarkCollection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "BackupFiles.h"
#include "Plist.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char kModule[] = "iTunesBackup";
const char kHomeDomain[] = "HomeDomain";
const char kBookmarksDb[] = "Library/Safari/Bookmarks.db";
const char kBookmarksPlist[] = "Library/Safari/Bookmarks.plist";
const char kHistoryPlist[] = "Library/Safari/History.plist";
const char kHistoryDb[] = "Library/Safari/History.db";
const int kVisitedColumn = 3;

void setVisited(KdSafariBookmarkItem* item, double secondsSince2001)
{
    if (!std::isfinite(secondsSince2001) || secondsSince2001 <= 0)
        return;
    const QDateTime visited = CCommonUtils::buildDateTimeBase2001(qint64(std::min(secondsSince2001, 1e11)));
    item->setValue(CCommonUtils::datetimeToMinute(visited, true), kVisitedColumn);
    item->setSortValue(visited, kVisitedColumn);
}

KdSafariBookmarkItem* appendBookmark(KdData* target, QString title, const QString& url, const QString* group)
{
    KdSafariBookmarkItem* item = KdSafariBookmarkItem::createItem();
    titleFromUrl(title, url);
    item->setValue(title, 0);
    item->setValue(url, 1);
    item->setSize(0);
    if (group)
        item->setBookmarkGroup(*group);
    target->append(item);
    return item;
}

plist_t dictItem(plist_t dict, const char* key)
{
    return dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
}

// Each element of the array under `arrayKey` becomes one item; its title and address are read
// from the element itself or from its dictionary under `fieldsKey`.
bool parseBookmarkPlist(KdData* target, const QString& path, const char* arrayKey, const char* fieldsKey,
                        const QString& group)
{
    std::string bytes, error;
    if (!ibrio::readRegularFile(QFile::encodeName(path).toStdString(), quint64(kMaxPlistFileBytes), &bytes, &error)) {
        Log(kModule, 0, "%s", error.c_str()); // names the file and why
        return false;
    }
    const PlistPtr root(plistFromBytes(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), true, false));
    if (!root) {
        Log(kModule, 0, "Fail to parse %s", path.toUtf8().constData());
        return false;
    }
    plist_t array = dictItem(root.get(), arrayKey);
    if (!target || !array || plist_get_node_type(array) != PLIST_ARRAY)
        return true;
    const uint32_t count = plist_array_get_size(array);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t element = plist_array_get_item(array, i);
        plist_t fields = fieldsKey ? dictItem(element, fieldsKey) : element;
        QString title, url;
        readPlistString(fields, "title", title);
        readPlistString(fields, "", url);
        plist_t redirects = dictItem(element, "redirectURLs");
        if (redirects && plist_get_node_type(redirects) == PLIST_ARRAY && plist_array_get_size(redirects) > 0) {
            bool isString = false;
            const QString first = plistStringText(plist_array_get_item(redirects, 0), &isString);
            if (isString)
                url = first;
        }
        KdSafariBookmarkItem* item = appendBookmark(target, title, url, &group);
        QString visited;
        readPlistString(element, "lastVisitedDate", visited);
        bool ok = false;
        const double seconds = visited.toDouble(&ok);
        if (ok)
            setVisited(item, seconds);
    }
    return true;
}

struct DefaultBookmark {
    const char* title;
    const char* url;
};

QString translated(const char* text)
{
    return QCoreApplication::translate("iTunesBackup", text);
}

} // namespace

// ---- Bookmarks.db ------------------------------------------------------------------------------

QString bookmarkGroup(const QString& folderTitle)
{
    if (folderTitle == QLatin1String("Root"))
        return QString();
    if (folderTitle == QLatin1String("com.apple.ReadingList"))
        return QStringLiteral("Reading List");
    return folderTitle;
}

CBookmarkQuery::CBookmarkQuery(KdData* target) : m_pTarget(target)
{
    m_sqls << QStringLiteral("select title, url, id, parent, type from bookmarks");
    m_countSqls << QStringLiteral("select count(*) from bookmarks");
}

bool CBookmarkQuery::handleRow(sqlite3_stmt* stmt)
{
    const QString title = columnText(stmt, 0);
    const QString url = columnText(stmt, 1);
    const qint64 id = sqlite3_column_int64(stmt, 2);
    const qint64 parent = sqlite3_column_int64(stmt, 3);

    // Every row may be someone's folder; which ones are is known only at the end.
    m_folderTitles[id] = bookmarkGroup(title);

    if (url.isEmpty() || !m_pTarget)
        return true;
    m_itemParents.insert(appendBookmark(m_pTarget, title, url, nullptr), parent);
    return true;
}

void CBookmarkQuery::run(const QStringList& dbPaths, CIProgressCallback* progress)
{
    m_folderTitles.clear();
    m_itemParents.clear();
    CISQLiteQuery::run(dbPaths, progress);
    if (!m_pTarget || m_itemParents.isEmpty())
        return;
    const int count = m_pTarget->count(0);
    for (int i = 0; i < count; ++i) {
        auto* item = dynamic_cast<KdSafariBookmarkItem*>(m_pTarget->at(i, false));
        const auto parent = m_itemParents.constFind(item);
        if (item && parent != m_itemParents.constEnd())
            item->setBookmarkGroup(m_folderTitles.value(parent.value()));
    }
}

// ---- History.db --------------------------------------------------------------------------------

CHistoryQuery::CHistoryQuery(KdData* target) : m_pTarget(target)
{
    // Every visit, newest first, with the title the page had then.
    m_sqls << QStringLiteral("select v.title, i.url, v.visit_time from history_visits v join history_items i "
                             "on i.id = v.history_item order by v.visit_time desc, v.id desc");
    m_countSqls << QStringLiteral("select count(*) from history_visits");
}

bool CHistoryQuery::handleRow(sqlite3_stmt* stmt)
{
    if (!m_pTarget)
        return false;
    static const QString kGroup = QStringLiteral("History");
    KdSafariBookmarkItem* item = appendBookmark(m_pTarget, columnText(stmt, 0), columnText(stmt, 1), &kGroup);
    setVisited(item, sqlite3_column_double(stmt, 2));
    return true;
}

// ---- the collection ----------------------------------------------------------------------------

CBookmarkCollection::CBookmarkCollection(KdData* safari) : m_pData(safari) {}

void CBookmarkCollection::collect(const QString& backupDir, const QList<CManifestRecord*>&, const QString& fileSuffix)
{
    const QString home = QString::fromLatin1(kHomeDomain);
    auto dataFile = [&](const char* relativePath) {
        return backupDataFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
    };
    QString database = databaseFile(backupDir, home, QLatin1String(kBookmarksDb), fileSuffix);
    if (database.isEmpty())
        database = dataFile(kBookmarksDb); // absent: named in the query's log line
    if (!QFileInfo(database).isFile() || readableDatabase(database, QStringLiteral("safari"), QLatin1String(kBookmarksDb), {"bookmarks"}))
        CBookmarkQuery(m_pData).run({database}, m_pProgress);

    // An empty or damaged list would otherwise pass for one that holds nothing.
    const QString readingList = dataFile(kBookmarksPlist);
    if (QFileInfo::exists(readingList) && !parseReadingListPlist(m_pData, readingList))
        m_problems << QStringLiteral("safari: %1 is not a property list that can be read: its reading list is not read")
                          .arg(QLatin1String(kBookmarksPlist));
    const QString history = dataFile(kHistoryPlist);
    if (QFileInfo::exists(history) && !parseHistoryPlist(m_pData, history))
        m_problems << QStringLiteral("safari: %1 is not a property list that can be read: its history is not read")
                          .arg(QLatin1String(kHistoryPlist));
    // From iOS 8 on every visit is a row of History.db.
    const QString visits = databaseFile(backupDir, home, QLatin1String(kHistoryDb), fileSuffix);
    if (!visits.isEmpty() && readableDatabase(visits, QStringLiteral("safari"), QLatin1String(kHistoryDb), {"history_visits"}))
        CHistoryQuery(m_pData).run({visits}, m_pProgress);
}

// ---- property lists ----------------------------------------------------------------------------

bool parseReadingListPlist(KdData* target, const QString& path)
{
    return parseBookmarkPlist(target, path, "Children", "URIDictionary", QStringLiteral("Reading List"));
}

bool parseHistoryPlist(KdData* target, const QString& path)
{
    return parseBookmarkPlist(target, path, "WebHistoryDates", nullptr, QStringLiteral("History"));
}

void titleFromUrl(QString& title, const QString& url)
{
    if (!title.isEmpty())
        return;
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    const qsizetype start = scheme < 0 ? 0 : scheme + 3;
    const qsizetype slash = url.indexOf(QLatin1Char('/'), start);
    title = slash > 0 ? url.mid(start, slash - start) : url.mid(start);
}

// ---- factory bookmarks -------------------------------------------------------------------------

void addDefaultBookmarks(KdData* target, const QString& deviceType)
{
    if (!target)
        return;
    static const DefaultBookmark kHomePages[] = {
        {QT_TRANSLATE_NOOP("iTunesBackup", "Apple"), QT_TRANSLATE_NOOP("iTunesBackup", "http://www.apple.com/iphone/")},
        {QT_TRANSLATE_NOOP("iTunesBackup", "Yahoo!"), QT_TRANSLATE_NOOP("iTunesBackup", "http://www.yahoo.com/")},
        {QT_TRANSLATE_NOOP("iTunesBackup", "Google"), QT_TRANSLATE_NOOP("iTunesBackup", "http://www.google.com/")},
        {QT_TRANSLATE_NOOP("iTunesBackup", "Bing"), QT_TRANSLATE_NOOP("iTunesBackup", "http://www.bing.com/?PC=APPL")},
    };
    static const DefaultBookmark kIPadGuide = {QT_TRANSLATE_NOOP("iTunesBackup", "iPad User Guide"),
                                               QT_TRANSLATE_NOOP("iTunesBackup", "http://help.apple.com/ipad/")};
    static const DefaultBookmark kIPhoneGuide = {QT_TRANSLATE_NOOP("iTunesBackup", "iPhone User Guide"),
                                                 QT_TRANSLATE_NOOP("iTunesBackup", "http://help.apple.com/iphone/")};
    static const DefaultBookmark kIPodGuide = {QT_TRANSLATE_NOOP("iTunesBackup", "iPod touch User Guide"),
                                               QT_TRANSLATE_NOOP("iTunesBackup", "http://help.apple.com/ipodtouch/")};
    for (const DefaultBookmark& page : kHomePages)
        appendBookmark(target, translated(page.title), translated(page.url), nullptr);
    const DefaultBookmark& guide = deviceType.contains(QLatin1String("iPad"))     ? kIPadGuide
                                 : deviceType.contains(QLatin1String("iPhone")) ? kIPhoneGuide
                                                                                 : kIPodGuide;
    appendBookmark(target, translated(guide.title), translated(guide.url), nullptr);
}
