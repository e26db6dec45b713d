#include "CFileCollection.h"

#include <QDir>

#include "BackupFiles.h"
#include "CIProgressCallback.h"
#include "CManifestRecord.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

CFileCollection::CFileCollection(const QString& domain, const QString& pathPrefix)
    : m_domain(domain), m_pathPrefix(pathPrefix)
{
}

void CFileCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                              const QString& fileSuffix)
{
    const int n = files.size();
    double step = 0.0;
    if (n > 0 && m_pProgress)
        step = double(m_pProgress->range()) / double(n);
    if (n <= 0)
        return;
    for (int i = 0; i < n; ++i) {
        // Reported for every record, before filtering, so the range fills exactly.
        if (m_pProgress && !m_pProgress->progress(step))
            break;
        const CManifestRecord* record = files.at(i);
        if (!record)
            continue;
        if (!m_domain.isEmpty() && m_domain != record->domain)
            continue;
        if (!record->relativePath.startsWith(m_pathPrefix))
            continue;
        if (record->relativePath.contains(QLatin1String("/.")))
            continue; // hidden files and folders
        const QFileInfo dataFile(backupDataFile(backupDir, record->hashName, fileSuffix));
        if (dataFile.exists())
            collectFile(dataFile, *record);
        else if (wanted(*record))
            noteMissingFile(*record, fileSuffix);
    }
    reportMissingFiles();
}

bool CFileCollection::wanted(const CManifestRecord& record) const
{
    return m_suffixes.contains(QFileInfo(record.relativePath).suffix(), Qt::CaseInsensitive);
}

bool CFileCollection::collectFile(const QFileInfo& dataFile, const CManifestRecord& record)
{
    if (!wanted(record))
        return false;
    KdFileItem* item = createFileItem(dataFile, record);
    if (!item)
        return false;
    if (m_pData)
        m_pData->append(item);
    else
        delete item;
    return true;
}

KdFileItem* CFileCollection::createFileItem(const QFileInfo& dataFile, const CManifestRecord& record)
{
    const QFileInfo fresh(dataFile.absoluteFilePath()); // not the caller's cached values
    const qint64 size = fresh.size();
    if (size > 0 && !fresh.isReadable())
        noteUnreadableFile(record.relativePath);
    if (size <= 0 || !fresh.isReadable())
        return nullptr;
    KdFileItem* item = KdFileItem::createItem();
    item->setValue(QFileInfo(record.relativePath).fileName(), 0);
    item->setFilePath(dataFile.absoluteFilePath());
    item->setSize(quint64(size));
    item->setDevicePath(record.relativePath);
    item->setModifiedTime(record.mtime);
    return item;
}
