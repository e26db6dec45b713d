#include "CMediaCollections.h"

#include "CManifestRecord.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

namespace {

const QStringList& mediaSuffixes()
{
    static const QStringList suffixes = {
        QStringLiteral("JPG"), QStringLiteral("PNG"), QStringLiteral("TIFF"), QStringLiteral("TIF"),
        QStringLiteral("BMP"), QStringLiteral("GIF"), QStringLiteral("ICO"), QStringLiteral("M4A"),
        QStringLiteral("MOV"), QStringLiteral("AVI"), QStringLiteral("MP4"), QStringLiteral("M4V"),
        QStringLiteral("3GP"), QStringLiteral("3G2"), QStringLiteral("MPG"), QStringLiteral("WMV")};
    return suffixes;
}

bool appendItem(KdData* target, KdFileItem* item)
{
    if (!item)
        return false;
    if (target)
        target->append(item);
    else
        delete item;
    return true;
}

} // namespace

CSMSAttachmentsCollection::CSMSAttachmentsCollection(KdData* attachments)
    : CFileCollection(QStringLiteral("MediaDomain"), QString())
{
    m_pData = attachments;
}

bool CSMSAttachmentsCollection::collectFile(const QFileInfo& dataFile, const CManifestRecord& record)
{
    if (!record.relativePath.startsWith(QLatin1String("Library/SMS/Parts/"))
        && !record.relativePath.startsWith(QLatin1String("Library/SMS/Attachments/")))
        return false;
    return appendItem(m_pData, createFileItem(dataFile, record));
}

CPhotoCollection::CPhotoCollection(KdData* cameraRoll) : CFileCollection(QString(), QStringLiteral("Media/DCIM/"))
{
    m_pData = cameraRoll;
    m_suffixes = mediaSuffixes();
}

bool CPhotoCollection::collectFile(const QFileInfo& dataFile, const CManifestRecord& record)
{
    // .MISC folders hold the camera's own bookkeeping, not pictures.
    if (record.relativePath.contains(QLatin1String(".MISC"), Qt::CaseInsensitive))
        return false;
    if (record.domain != QLatin1String("CameraRollDomain") && record.domain != QLatin1String("MediaDomain"))
        return false;
    return CFileCollection::collectFile(dataFile, record);
}

CPhotoStreamCollection::CPhotoStreamCollection(KdData* photoStream)
    : CFileCollection(QStringLiteral("MediaDomain"), QStringLiteral("Media/PhotoStreamsData/"))
{
    m_pData = photoStream;
    m_suffixes = mediaSuffixes();
}
