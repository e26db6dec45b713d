#pragma once

#include "CIDataCollection.h"

class KdContactData;
class KdData;

// Contacts of a backup: locates the address book (and its images database) and reads it through
// the contact library's record reader.
class CContactCollection : public CIDataCollection
{
public:
    explicit CContactCollection(KdData* contacts);
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                 const QString& fileSuffix) override;

private:
    KdData* m_pData; // a KdContactData; not owned
};

// Reads the address book into items sorted by name (locale-aware) and appends them. Shared with
// the device extraction. `imagesPath` may be empty; `progress` may be null. A false finish()
// leaves the container untouched. False when the address book could not be read at all.
bool readContacts(KdContactData* contacts, const QString& addressBookPath, const QString& imagesPath,
                  CIProgressCallback* progress);
