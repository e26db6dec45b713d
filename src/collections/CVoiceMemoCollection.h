#pragma once

#include <QHash>
#include <QString>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdData;
class KdVoiceMemoItem;

// Finds the local file of a recording named by its path on the device.
class CVoiceMemoPathTranslater
{
public:
    // Replaces `path` by a readable local file and sets `size` to its bytes; false (both left
    // alone) when there is no such file.
    virtual bool translatePath(QString& path, qint64& size) = 0;

protected:
    ~CVoiceMemoPathTranslater() = default;
};

class CVoiceMemoQuery : public CISQLiteQuery
{
public:
    CVoiceMemoQuery(KdData* target, CVoiceMemoPathTranslater* translater);
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    KdData* m_pTarget;                      // not owned
    CVoiceMemoPathTranslater* m_pTranslater; // not owned
};

// One item per recording of Recordings.db whose audio file the backup holds.
class CVoiceMemoCollection : public CIDataCollection, public CVoiceMemoPathTranslater
{
public:
    explicit CVoiceMemoCollection(KdData* voiceMemos);
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;
    // A recording is found by its file name under Media/Recordings/, whatever folder the
    // database names.
    bool translatePath(QString& path, qint64& size) override;

private:
    KdData* m_pData;
    QString m_backupDir;
    QString m_fileSuffix;
    QHash<QString, qint64> m_times; // data file -> modification time on the device
};

// Columns: name, size text (sort: bytes), duration text (sort: seconds).
KdVoiceMemoItem* makeVoiceMemoItem(const QString& localPath, const QString& name, qint64 size, int duration);
