#pragma once

#include <QMap>
#include <QStringList>

#include "sqliterecovery/SqliteRecovery.h"

class CIProgressCallback;
class KdBackup;
class CDeletedRecovery;

// Turns one type's recovered records into deleted items; returns the library's record count.
using RecoveryConverter = int (*)(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);

// Maps a scan's progress onto the share of the caller's range granted to one record type; a
// type never reports more than its share.
class ProgressWrapper : public ScanProgress
{
public:
    ProgressWrapper(CIProgressCallback* target, double range) : m_pTarget(target), m_range(range) {}
    double range() override;
    bool progress(double step) override;
    bool finish() override;

private:
    CIProgressCallback* m_pTarget; // not owned, may be null
    double m_range;
    double m_done = 0.0;
};

// One run of deleted-record recovery over copies of the category databases.
class CDeletedRecovery
{
public:
    CDeletedRecovery();
    ~CDeletedRecovery();

    // `progress` must not be null. Stops after the current type when it answers false, and then
    // returns false. What could not be scanned is appended to `skipped`.
    bool recover(const QStringList& files, KdBackup* backup, CIProgressCallback* progress,
                 QStringList* skipped = nullptr);

    // Only these record types are scanned (0 contacts ... 5 Safari, as SqliteRecovery numbers
    // them); empty: every type.
    void setTypes(const QList<int>& types) { m_types = types; }
    // The types of the given KdData categories: messages need contacts too, to name people.
    static QList<int> typesForCategories(const QList<int>& categories);

    // Contact index shared by the converters: names, and address -> position in m_contactNames.
    QStringList m_contactNames;
    QMap<QString, int> m_contactIndex;

    // Which sms.db layout the deleted messages came from: it decides their dates' epoch.
    enum class MessageLayout { Unknown, Group, Chat };
    MessageLayout m_messageLayout = MessageLayout::Unknown;

private:
    QList<int> m_types;
};

// The layout of a message database with these tables; Unknown when none tells.
CDeletedRecovery::MessageLayout messageLayoutOf(const QStringList& tables);
