#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdData;
class KdReminderItem;

// Location texts of alarms by the row id of the reminder that owns them.
class CLocationQuery : public CISQLiteQuery
{
public:
    CLocationQuery();
    bool handleRow(sqlite3_stmt* stmt) override;

    // Empty when the reminder has no alarm with a location.
    QString location(qint64 rowId) const { return m_locations.value(rowId); }
    void clear() { m_locations.clear(); }

private:
    QHash<qint64, QString> m_locations;
};

// Reminders of the calendaritem layout (the older layout has none), ordered by list title and
// appended when the whole run is done.
class CReminderQuery : public CISQLiteQuery
{
public:
    explicit CReminderQuery(KdData* target); // not owned
    ~CReminderQuery() override;
    CReminderQuery(const CReminderQuery&) = delete;
    CReminderQuery& operator=(const CReminderQuery&) = delete;

    bool handleRow(sqlite3_stmt* stmt) override;
    void run(const QStringList& dbPaths, CIProgressCallback* progress) override;

    // "None", "High", "Medium", "Low", else the number.
    static QString priorityText(int priority);

private:
    QList<KdReminderItem*> m_items; // owned until appended
    std::unique_ptr<CLocationQuery> m_pLocationQuery;
    KdData* m_pData;
    QHash<qint64, qint64> m_dueDates; // row id -> due_date, for rows whose start_date is empty
};

// Reminders of the store iOS 13 on keeps apart (ZREMCDREMINDER, lists in ZREMCDBASELIST), in the
// same columns; those the user deleted and the device still holds are marked deleted. Ordered
// and appended like CReminderQuery's.
class CReminderStoreQuery : public CISQLiteQuery
{
public:
    explicit CReminderStoreQuery(KdData* target); // not owned
    ~CReminderStoreQuery() override;
    CReminderStoreQuery(const CReminderStoreQuery&) = delete;
    CReminderStoreQuery& operator=(const CReminderStoreQuery&) = delete;

    bool handleRow(sqlite3_stmt* stmt) override;
    void run(const QStringList& dbPaths, CIProgressCallback* progress) override;

private:
    QList<KdReminderItem*> m_items; // owned until appended
    KdData* m_pData;
};

// Reminders of a backup: from the calendar database, then from the stores of iOS 13 on.
class CReminderCollection : public CIDataCollection
{
public:
    explicit CReminderCollection(KdData* reminders); // not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;

private:
    void collectFromCalendar(const QString& backupDir, const QString& fileSuffix);

    KdData* m_pData;
};
