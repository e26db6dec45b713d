#pragma once

#include <QHash>
#include <QString>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdAbstractItem;
class KdData;

// Bookmarks of Bookmarks.db. Each gets its folder's title as group ("" at the top level,
// "Reading List" in the reading-list folder), resolved once every row has been read, so a
// folder may come after its bookmarks.
class CBookmarkQuery : public CISQLiteQuery
{
public:
    explicit CBookmarkQuery(KdData* target); // not owned; null reads nothing into anything
    bool handleRow(sqlite3_stmt* stmt) override;
    void run(const QStringList& dbPaths, CIProgressCallback* progress) override;

private:
    KdData* m_pTarget;
    QHash<qint64, QString> m_folderTitles;                // row id -> group text, every row
    QHash<const KdAbstractItem*, qint64> m_itemParents;   // items of this run -> parent row id
};

// Visits of History.db (iOS 8 on), group "History": one item per visit, newest first, with the
// title the page had at that visit and the time of it.
class CHistoryQuery : public CISQLiteQuery
{
public:
    explicit CHistoryQuery(KdData* target); // not owned
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    KdData* m_pTarget;
};

// Safari data of a backup, all in HomeDomain: Library/Safari/Bookmarks.db, then the top-level
// entries of Bookmarks.plist as the reading list, then History.plist and History.db. The factory-default
// bookmarks are added apart, by addDefaultBookmarks.
class CBookmarkCollection : public CIDataCollection
{
public:
    explicit CBookmarkCollection(KdData* safari); // KdBackup::getSafariBookmark(); not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                 const QString& fileSuffix) override;

private:
    KdData* m_pData;
};

// The group a bookmark shows for the title of its folder row: none at the top ("Root"),
// "Reading List" for the reading-list folder.
QString bookmarkGroup(const QString& folderTitle);

// Appends the top-level "Children" of a binary Bookmarks.plist, group "Reading List". False when
// the file cannot be read or is not a binary property list (one log line); true otherwise, also
// when the array is missing.
bool parseReadingListPlist(KdData* target, const QString& path);
// Appends the "WebHistoryDates" of a binary History.plist, group "History"; results as above.
// An entry that was redirected shows its first redirect's address.
bool parseHistoryPlist(KdData* target, const QString& path);

// An empty title becomes the address's host: the text after "://" (or from the start) up to the
// next "/", or the rest when no "/" follows.
void titleFromUrl(QString& title, const QString& url);

// The browser's factory bookmarks, without group: four home pages, then the user guide of the
// device family named in `deviceType` (a model identifier such as "iPad4,1").
void addDefaultBookmarks(KdData* target, const QString& deviceType);
