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

// Reminders of a backup, from the calendar database.
class CReminderCollection : public CIDataCollection
{
public:
    explicit CReminderCollection(KdData* reminders); // not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;

private:
    KdData* m_pData;
};
