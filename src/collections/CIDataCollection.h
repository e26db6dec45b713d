#pragma once

#include <QList>
#include <QString>
#include <QStringList>

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
    // What collect() found but could not read, one line each: the run reports it as skipped.
    const QStringList& problems() const { return m_problems; }

protected:
    CIProgressCallback* m_pProgress = nullptr; // not owned
    QStringList m_problems;
};
