#include "CMediaCollections.h"

#include <QHash>

#include <cmath>

#include <sqlite3.h>

#include "CManifestRecord.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "utility/Log.h"

namespace {

const QStringList& mediaSuffixes()
{
    static const QStringList suffixes = {
        QStringLiteral("JPG"), QStringLiteral("PNG"), QStringLiteral("TIFF"), QStringLiteral("TIF"),
        QStringLiteral("BMP"), QStringLiteral("GIF"), QStringLiteral("ICO"), QStringLiteral("M4A"),
        QStringLiteral("MOV"), QStringLiteral("AVI"), QStringLiteral("MP4"), QStringLiteral("M4V"),
        QStringLiteral("3GP"), QStringLiteral("3G2"), QStringLiteral("MPG"), QStringLiteral("WMV"),
        // What cameras of iOS 11 on write.
        QStringLiteral("HEIC"), QStringLiteral("HEIF"), QStringLiteral("JPEG"), QStringLiteral("DNG")};
    return suffixes;
}

const int kTakenColumn = 3;
const int kLocationColumn = 4;

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

bool CSMSAttachmentsCollection::wanted(const CManifestRecord& record) const
{
    // Folders are records too; every attachment file has an extension.
    return (record.relativePath.startsWith(QLatin1String("Library/SMS/Parts/"))
            || record.relativePath.startsWith(QLatin1String("Library/SMS/Attachments/")))
           && !QFileInfo(record.relativePath).suffix().isEmpty();
}

bool CSMSAttachmentsCollection::collectFile(const QFileInfo& dataFile, const CManifestRecord& record)
{
    return wanted(record) && appendItem(m_pData, createFileItem(dataFile, record));
}

CPhotoCollection::CPhotoCollection(KdData* cameraRoll) : CFileCollection(QString(), QStringLiteral("Media/DCIM/"))
{
    m_pData = cameraRoll;
    m_suffixes = mediaSuffixes();
}

bool CPhotoCollection::wanted(const CManifestRecord& record) const
{
    // .MISC folders hold the camera's own bookkeeping, not pictures.
    return !record.relativePath.contains(QLatin1String(".MISC"), Qt::CaseInsensitive)
           && (record.domain == QLatin1String("CameraRollDomain") || record.domain == QLatin1String("MediaDomain"))
           && CFileCollection::wanted(record);
}

void CPhotoCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix)
{
    const int before = m_pData ? m_pData->count() : 0;
    CFileCollection::collect(backupDir, files, fileSuffix);
    if (m_pData && m_pData->count() > before)
        describeFromLibrary(backupDir, fileSuffix, before);
}

void CPhotoCollection::describeFromLibrary(const QString& backupDir, const QString& fileSuffix, int firstItem)
{
    const QString relativePath = QStringLiteral("Media/PhotoData/Photos.sqlite");
    const QString path = databaseFile(backupDir, QStringLiteral("CameraRollDomain"), relativePath, fileSuffix);
    if (path.isEmpty() || !readableDatabase(path, QStringLiteral("camera roll"), relativePath, {"ZGENERICASSET", "ZASSET"}))
        return;
    evidencedb::Database db;
    if (!db.open(path, "iTunesBackup"))
        return;
    // iOS 14 renamed the asset table; the columns kept their names.
    const char* table = db.hasColumn("ZASSET", "ZFILENAME") ? "ZASSET" : "ZGENERICASSET";
    auto column = [&](const char* name) { return db.hasColumn(table, name) ? QByteArray(name) : QByteArray("NULL"); };
    const QByteArray sql = "select ZDIRECTORY, ZFILENAME, " + column("ZDATECREATED") + ", " + column("ZTRASHEDSTATE") + ", "
                           + column("ZLATITUDE") + ", " + column("ZLONGITUDE") + " from " + table;
    evidencedb::Statement st(db, sql);
    if (!st.ok()) {
        Log("iTunesBackup", 0, "Fail to read the assets of %s", path.toUtf8().constData());
        return;
    }
    QHash<QString, KdAbstractItem*> byPath;
    for (int i = firstItem; i < m_pData->count(); ++i)
        if (auto* item = dynamic_cast<KdFileItem*>(m_pData->at(i, false)))
            byPath.insert(item->devicePath(), item);
    while (st.next()) {
        KdAbstractItem* item = byPath.value(QStringLiteral("Media/%1/%2").arg(QString::fromUtf8(st.text(0)), QString::fromUtf8(st.text(1))));
        if (!item)
            continue;
        if (!st.isNull(2)) {
            const double seconds = sqlite3_column_double(st.handle(), 2);
            if (std::isfinite(seconds) && std::fabs(seconds) < 1e11) {
                const QDateTime taken = CCommonUtils::buildDateTimeBase2001(qint64(std::floor(seconds)));
                item->setValue(CCommonUtils::datetimeToMinute(taken, true), kTakenColumn);
                item->setSortValue(taken, kTakenColumn);
            }
        }
        if (st.int64(3) == 1)
            item->setFlag(true, KdAbstractItem::DeletedFlag); // in "Recently Deleted"
        const double latitude = sqlite3_column_double(st.handle(), 4);
        const double longitude = sqlite3_column_double(st.handle(), 5);
        // The library writes -180 for "no location".
        if (!st.isNull(4) && !st.isNull(5) && std::fabs(latitude) <= 90 && std::fabs(longitude) <= 180
            && !(latitude == -180 || longitude == -180) && !(latitude == 0 && longitude == 0))
            item->setValue(QStringLiteral("%1, %2").arg(latitude, 0, 'f', 6).arg(longitude, 0, 'f', 6), kLocationColumn);
    }
}

CPhotoStreamCollection::CPhotoStreamCollection(KdData* photoStream)
    : CFileCollection(QStringLiteral("MediaDomain"), QStringLiteral("Media/PhotoStreamsData/"))
{
    m_pData = photoStream;
    m_suffixes = mediaSuffixes();
}
