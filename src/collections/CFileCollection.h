#pragma once

#include <QFileInfo>
#include <QStringList>

#include "CIDataCollection.h"

class KdData;
class KdFileItem;

// Collector of categories that are plain files: walks the file index, keeps the records of one
// domain under one path prefix, and turns each existing data file into a file item that points
// at the data file inside the backup (nothing is copied).
class CFileCollection : public CIDataCollection
{
public:
    CFileCollection(const QString& domain, const QString& pathPrefix);
    ~CFileCollection() override = default;

    void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                 const QString& fileSuffix) override;

protected:
    // Whether the category takes the file the record names; the default takes the extensions in
    // m_suffixes (compared without case). A wanted file the folder lacks is named as missing.
    virtual bool wanted(const CManifestRecord& record) const;
    // One data file that exists; true when an item was added.
    virtual bool collectFile(const QFileInfo& dataFile, const CManifestRecord& record);
    // Null for an empty or unreadable data file.
    KdFileItem* createFileItem(const QFileInfo& dataFile, const CManifestRecord& record);

    QStringList m_suffixes;
    KdData* m_pData = nullptr; // not owned
    QString m_domain;          // "" takes every domain
    QString m_pathPrefix;      // "" takes every path
};
