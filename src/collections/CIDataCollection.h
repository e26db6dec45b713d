#pragma once

#include <QList>
#include <QString>

class CIProgressCallback;
class CManifestRecord;

// One category's collector. The driver sets the progress callback, then calls collect() once
// with the backup folder, its file index and the suffix of its data files.
class CIDataCollection
{
public:
    virtual ~CIDataCollection() = default;
    virtual void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                         const QString& fileSuffix) = 0;

    void setProgress(CIProgressCallback* progress) { m_pProgress = progress; }

protected:
    CIProgressCallback* m_pProgress = nullptr; // not owned
};
