#pragma once

#include "CFileCollection.h"

// Every file under Library/SMS/Parts/ and Library/SMS/Attachments/ of the media domain, previews
// included: the files that messages carry.
class CSMSAttachmentsCollection : public CFileCollection
{
public:
    explicit CSMSAttachmentsCollection(KdData* attachments);

protected:
    bool collectFile(const QFileInfo& dataFile, const CManifestRecord& record) override;
};

// Pictures and videos of the camera roll (Media/DCIM/ of the camera-roll or media domain).
class CPhotoCollection : public CFileCollection
{
public:
    explicit CPhotoCollection(KdData* cameraRoll);

protected:
    bool collectFile(const QFileInfo& dataFile, const CManifestRecord& record) override;
};

// Pictures and videos of the photo stream (Media/PhotoStreamsData/ of the media domain).
class CPhotoStreamCollection : public CFileCollection
{
public:
    explicit CPhotoStreamCollection(KdData* photoStream);
};
