#pragma once

#include "CFileCollection.h"

// Every file under Library/SMS/Parts/ and Library/SMS/Attachments/ of the media domain, previews
// included: the files that messages carry.
class CSMSAttachmentsCollection : public CFileCollection
{
public:
    explicit CSMSAttachmentsCollection(KdData* attachments);

protected:
    bool wanted(const CManifestRecord& record) const override;
    bool collectFile(const QFileInfo& dataFile, const CManifestRecord& record) override;
};

// Pictures and videos of the camera roll (Media/DCIM/ of the camera-roll or media domain),
// described from the photo library's database where it has them: when taken, where, and
// whether the user moved them to "Recently Deleted" (then marked deleted).
class CPhotoCollection : public CFileCollection
{
public:
    explicit CPhotoCollection(KdData* cameraRoll);
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;

protected:
    bool wanted(const CManifestRecord& record) const override;

private:
    void describeFromLibrary(const QString& backupDir, const QString& fileSuffix, int firstItem);
};

// Pictures and videos of the photo stream (Media/PhotoStreamsData/ of the media domain).
class CPhotoStreamCollection : public CFileCollection
{
public:
    explicit CPhotoStreamCollection(KdData* photoStream);
};
