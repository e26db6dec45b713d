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

// Recordings of Recordings.db (ZRECORDING), or with `cloudLayout` of CloudRecordings.db (iOS 12
// on: ZCLOUDRECORDING, named by the title the user gave where there is one).
class CVoiceMemoQuery : public CISQLiteQuery
{
public:
    CVoiceMemoQuery(KdData* target, CVoiceMemoPathTranslater* translater, bool cloudLayout = false,
                    bool withTitle = false);
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    KdData* m_pTarget;                      // not owned
    CVoiceMemoPathTranslater* m_pTranslater; // not owned
};

// One item per recording whose audio file the backup holds: of Recordings.db, and of
// CloudRecordings.db (in Media/Recordings/ on iOS 12 and 13, in the app group from iOS 14).
class CVoiceMemoCollection : public CIDataCollection, public CVoiceMemoPathTranslater
{
public:
    explicit CVoiceMemoCollection(KdData* voiceMemos);
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;
    // A recording is found by its file name in the folder of the database being read, whatever
    // folder the database names.
    bool translatePath(QString& path, qint64& size) override;

private:
    KdData* m_pData;
    QString m_domain;  // of the database being read
    QString m_folder;  // its folder, with a trailing "/"
    QString m_backupDir;
    QString m_fileSuffix;
    QHash<QString, qint64> m_times; // data file -> modification time on the device
};

// Columns: name, size text (sort: bytes), duration text (sort: seconds; empty when negative, unknown).
KdVoiceMemoItem* makeVoiceMemoItem(const QString& localPath, const QString& name, qint64 size, int duration);
