#pragma once

#include <QString>

#include "CIDataCollection.h"

class KdData;

// Phone and FaceTime calls, each named after the address-book person of its number.
class CCalllistCollection : public CIDataCollection
{
public:
    explicit CCalllistCollection(KdData* calls);
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;

private:
    KdData* m_pData; // not owned
};

// Reads the calls of `callDbPath` (call_history.db, or CallHistory.storedata from iOS 8 on)
// through the contact library, newest first. True when the library delivered calls (also when
// the reading was then cancelled); nothing is appended when finish() refuses.
bool readCallHistory(KdData* calls, const QString& callDbPath, const QString& addressBookPath, CIProgressCallback* progress);
