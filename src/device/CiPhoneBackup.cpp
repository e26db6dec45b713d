#include "CiPhoneBackup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <unistd.h>
#include <zlib.h>

#include "BackupFiles.h"
#include "CManifestRecord.h"
#include "CSubProgress.h"
#include "CategoryRun.h"
#include "CDeletedRecovery.h"
#include "CiPhoneReaders.h"
#include "CVoiceMemoCollection.h"
#include "CiTunesBackupManager.h"
#include "Plist.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "mediacarve/MediaCarver.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char* const kModule = "iPhoneBackup";

const char* const kDbFolders[] = {
    "/mnt2/mobile/Library/Calendar", "/mnt2/mobile/Library/SMS",    "/mnt2/mobile/Library/AddressBook",
    "/mnt2/wireless/Library/CallHistory", "/mnt2/mobile/Library/Safari", "/mnt2/mobile/Library/Notes",
    "/mnt2/mobile/Library/Voicemail", "/mnt2/mobile/Media/Recordings",
    // iOS 8 on keeps calls here; some copies hold the older call store in the user's own folder.
    "/mnt2/mobile/Library/CallHistoryDB", "/mnt2/mobile/Library/CallHistory",
};
const char* const kAppGroups = "/mnt2/mobile/Containers/Shared/AppGroup";
// The system apps' group containers the readers know (notes, reminders, recordings of iOS 10 on).
const char* const kGroups[] = {"group.com.apple.notes", "group.com.apple.reminders", "group.com.apple.VoiceMemos.shared"};
const char* const kContainerMetadata = ".com.apple.mobile_container_manager.metadata.plist";

// Whether any of `categories` is to be read: with a selection, the copy holds nothing else.
bool selected(std::initializer_list<int> categories)
{
    const QList<int> chosen = CategorySelection::current();
    if (chosen.isEmpty())
        return true;
    const QList<int> read = categoriesToRead(chosen);
    return std::any_of(categories.begin(), categories.end(), [&](int c) { return read.contains(c); });
}

// The categories read from a database folder of the copy; none known: copied only without selection.
bool folderSelected(const QString& folder)
{
    static const struct {
        const char* tail;
        std::initializer_list<int> categories;
    } kFolders[] = {
        {"/Library/Calendar", {KdData::Calendar, KdData::Reminders}},
        {"/Library/SMS", {KdData::Messages, KdData::MessageAttachments}},
        {"/Library/AddressBook", {KdData::Contacts}},
        {"/Library/CallHistory", {KdData::CallHistory}},
        {"/Library/CallHistoryDB", {KdData::CallHistory}},
        {"/Library/Safari", {KdData::SafariBookmarks}},
        {"/Library/Notes", {KdData::Notes}},
        {"/Media/Recordings", {KdData::VoiceMemos}},
        {"group.com.apple.notes", {KdData::Notes}},
        {"group.com.apple.reminders", {KdData::Reminders}},
        {"group.com.apple.VoiceMemos.shared", {KdData::VoiceMemos}},
    };
    for (const auto& f : kFolders)
        if (folder.endsWith(QLatin1String(f.tail)))
            return selected(f.categories);
    return selected({});
}

const char* const kMediaFolders[] = {"/mnt2/mobile/Media/DCIM", "/mnt2/mobile/Media/Photos", "/mnt2/mobile/Media/PhotoData",
                                     "/mnt2/mobile/Media/PhotoStreamsData"};
const char* const kSmsFolder[] = {"/mnt2/mobile/Library/SMS"};

const QStringList& mediaList()
{
    static const QStringList list = {QStringLiteral("JPG"), QStringLiteral("PNG"), QStringLiteral("TIFF"), QStringLiteral("TIF"),
                                     QStringLiteral("BMP"), QStringLiteral("GIF"), QStringLiteral("ICO"), QStringLiteral("M4A"),
                                     QStringLiteral("MOV"), QStringLiteral("AVI"), QStringLiteral("MP4"), QStringLiteral("M4V"),
                                     QStringLiteral("3GP"), QStringLiteral("3G2"), QStringLiteral("MPG"), QStringLiteral("WMV")};
    return list;
}

const QStringList kImages = {QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("ico"), QStringLiteral("gif"),
                             QStringLiteral("tif"), QStringLiteral("tiff"), QStringLiteral("bmp")};
const QStringList kIsoMedia = {QStringLiteral("m4a"), QStringLiteral("mov"), QStringLiteral("3gp"),
                               QStringLiteral("m4v"), QStringLiteral("mp4"), QStringLiteral("3g2")};

// Where a backup keeps a device file: the same readers then serve both.
QPair<QString, QString> backupLocation(const QString& devicePath, const QHash<QString, QString>& groups)
{
    if (devicePath.startsWith(QLatin1String("/mnt2/wireless/")))
        return {QStringLiteral("WirelessDomain"), devicePath.mid(15)};
    if (!devicePath.startsWith(QLatin1String("/mnt2/mobile/")))
        return {};
    const QString rest = devicePath.mid(13);
    const QString groupsPrefix = QLatin1String(kAppGroups) + QLatin1Char('/');
    if (devicePath.startsWith(groupsPrefix)) {
        const QString inside = devicePath.mid(groupsPrefix.size());
        const QString container = inside.section(QLatin1Char('/'), 0, 0);
        const QString group = groups.value(container);
        if (group.isEmpty())
            return {};
        return {QStringLiteral("AppDomainGroup-") + group, inside.section(QLatin1Char('/'), 1)};
    }
    if (rest.startsWith(QLatin1String("Media/DCIM/")) || rest.startsWith(QLatin1String("Media/PhotoData/")))
        return {QStringLiteral("CameraRollDomain"), rest};
    if (rest.startsWith(QLatin1String("Media/")) || rest.startsWith(QLatin1String("Library/SMS/Attachments/"))
        || rest.startsWith(QLatin1String("Library/SMS/Parts/")))
        return {QStringLiteral("MediaDomain"), rest};
    return {QStringLiteral("HomeDomain"), rest};
}

} // namespace

KdData* carvedFileCategory(KdBackup* backup, const QString& devicePath)
{
    const struct {
        const char* marker;
        KdData* (KdBackup::*get)() const;
    } folders[] = {{"/DCIM/", &KdBackup::getCamareRoll},          {"/Photos/", &KdBackup::getPhotoLibrary},
                   {"/PhotoData/", &KdBackup::getPhotoLibrary},   {"/PhotoStreamsData/", &KdBackup::getPhotoStream},
                   {"/SMS/Parts/", &KdBackup::getMessageAttachment}, {"/SMS/Attachments/", &KdBackup::getMessageAttachment},
                   {"/Recordings/", &KdBackup::getVoiceMemo}};
    for (const auto& f : folders)
        if (devicePath.contains(QLatin1String(f.marker)))
            return (backup->*f.get)();
    return nullptr;
}

namespace {

quint16 u16(const uchar* p, bool little) { return little ? quint16(p[0] | p[1] << 8) : quint16(p[0] << 8 | p[1]); }
quint32 u32(const uchar* p, bool little)
{
    return little ? quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24
                  : quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

// The first directory: sorted tags of known types, with the picture's size and where its pixels are.
bool tiffHeaderValid(QFile& f)
{
    const QByteArray head = f.read(8);
    const bool little = head.startsWith(QByteArray("II*\0", 4));
    if (!little && !head.startsWith(QByteArray("MM\0*", 4)))
        return false;
    const qint64 ifd = u32(reinterpret_cast<const uchar*>(head.constData()) + 4, little);
    if (ifd < 8 || !f.seek(ifd))
        return false;
    const QByteArray count = f.read(2);
    const int n = count.size() == 2 ? u16(reinterpret_cast<const uchar*>(count.constData()), little) : 0;
    const QByteArray entries = f.read(12 * n);
    if (n == 0 || entries.size() != 12 * n)
        return false;
    bool width = false, length = false, pixels = false;
    for (int i = 0, previous = -1; i < n; ++i) {
        const auto* e = reinterpret_cast<const uchar*>(entries.constData()) + 12 * i;
        const int tag = u16(e, little), type = u16(e + 2, little);
        if (tag <= previous || type < 1 || type > 13)
            return false;
        previous = tag;
        width = width || tag == 256;
        length = length || tag == 257;
        pixels = pixels || tag == 273 || tag == 324;
    }
    return width && length && pixels;
}

bool pngHeaderValid(const QByteArray& head)
{
    const auto* b = reinterpret_cast<const uchar*>(head.constData());
    if (head.size() < 33 || !head.startsWith(QByteArray("\x89PNG\r\n\x1A\n", 8)) || u32(b + 8, false) != 13
        || head.mid(12, 4) != "IHDR" || u32(b + 16, false) == 0 || u32(b + 20, false) == 0)
        return false;
    return quint32(crc32(0, b + 12, 17)) == u32(b + 29, false); // over the chunk's type and data
}

// Whether a picture that is not decoded holds together as far as its header goes.
bool pictureHeaderValid(const QString& path, const QString& suffix)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
        return tiffHeaderValid(f);
    const QByteArray head = f.read(33);
    const auto* b = reinterpret_cast<const uchar*>(head.constData());
    if (suffix == QLatin1String("png"))
        return pngHeaderValid(head);
    if (suffix == QLatin1String("jpg"))
        return head.startsWith("\xFF\xD8\xFF");
    if (suffix == QLatin1String("gif"))
        return head.size() >= 10 && (head.startsWith("GIF87a") || head.startsWith("GIF89a")) && u16(b + 6, true) && u16(b + 8, true);
    if (suffix == QLatin1String("bmp"))
        return head.size() >= 18 && head.startsWith("BM") && QList<quint32>{12, 40, 52, 56, 108, 124}.contains(u32(b + 14, true));
    if (suffix == QLatin1String("ico"))
        return head.size() >= 6 && u16(b, true) == 0 && u16(b + 2, true) == 1 && u16(b + 4, true) > 0 && u16(b + 4, true) <= 64;
    return false;
}

} // namespace

bool carvedFilePlausible(const QString& path, QString* why)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const auto refuse = [why](const char* reason) {
        if (why)
            *why = QLatin1String(reason);
        return false;
    };
    if (kImages.contains(suffix)) {
        static const QList<QByteArray> decodable = QImageReader::supportedImageFormats();
        // libpng reports a file cut short on stderr past any handler, and without a plugin the
        // picture cannot be decoded at all: the header is what can be checked.
        if ((suffix == QLatin1String("png") && CCommonUtils::pngCutShort(path)) || !decodable.contains(suffix.toLatin1()))
            return pictureHeaderValid(path, suffix) || refuse("not a picture: its header does not hold together");
        QImage image;
        return CCommonUtils::imageSafeLoad(image, path) || refuse("not a picture: it does not decode");
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return refuse("it cannot be read");
    const QByteArray head = f.read(8);
    bool signature = false;
    if (kIsoMedia.contains(suffix))
        signature = head.contains("ftyp");
    else if (suffix == QLatin1String("avi"))
        signature = head.contains("RIFF");
    else if (suffix == QLatin1String("amr"))
        signature = head.contains("#!AMR");
    else if (suffix == QLatin1String("wmv"))
        signature = head.contains(QByteArray::fromHex("3026B2758E66CF11"));
    else if (suffix == QLatin1String("mpg"))
        signature = head.startsWith(QByteArray::fromHex("000001BA"));
    return signature || refuse("it does not begin with its format's signature");
}

CiPhoneBackup::CiPhoneBackup(CDevice* device, const QString& tmpPath) : m_pDevice(device), m_tmpPath(tmpPath) {}

CiPhoneBackup::~CiPhoneBackup()
{
    clearFileInfos();
}

CiPhoneBackup::CiPhoneBackup(const CiPhoneBackup& other)
    : CAccessFile(), CDownloadProgress(), m_pDevice(other.m_pDevice), m_tmpPath(other.m_tmpPath)
{
    *this = other;
}

CiPhoneBackup& CiPhoneBackup::operator=(const CiPhoneBackup& other)
{
    if (this == &other)
        return *this;
    clearFileInfos();
    m_pDevice = other.m_pDevice;
    m_tmpPath = other.m_tmpPath;
    m_searchDeleted = other.m_searchDeleted;
    m_recursive = other.m_recursive;
    for (const CiPhoneFileInfo* f : other.m_fileInfos)
        m_fileInfos.append(new CiPhoneFileInfo(*f));
    m_groups = other.m_groups;
    return *this;
}

void CiPhoneBackup::clearFileInfos()
{
    qDeleteAll(m_fileInfos);
    m_fileInfos.clear();
    qDeleteAll(m_viewRecords);
    m_viewRecords.clear();
    m_viewCopies.clear();
    m_viewed = 0;
}

void CiPhoneBackup::collectInfos(KdBackup* backup) const
{
    if (!backup || !m_pDevice)
        return;
    backup->setBackupProperty(m_pDevice->deviceName(nullptr), KdBackup::DeviceName);
    backup->setBackupProperty(m_pDevice->deviceVer(nullptr), KdBackup::ProductVersion);
    backup->setBackupProperty(m_pDevice->deviceSN(nullptr), KdBackup::SerialNumber);
    backup->setBackupProperty(CiTunesBackupManager::deviceTypeName(nullptr, m_pDevice->deviceType(nullptr)), KdBackup::DeviceTypeName);
}

bool CiPhoneBackup::collectDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped)
{
    if (progress)
        progress->initRange(10000);
    clearFileInfos();
    m_groups.clear();
    m_unreadable.clear();
    const QDir tmp(m_tmpPath);
    if (m_tmpPath.isEmpty() || (tmp.exists() ? !CCommonUtils::clearDir(m_tmpPath) : !QDir().mkpath(m_tmpPath))) {
        Log(kModule, 0, "Temporary folder %s cannot be prepared", m_tmpPath.toUtf8().constData());
        return false;
    }
    const struct {
        int share;
        std::function<bool(CIProgressCallback*)> run;
    } steps[] = {
        {1000, [&](CIProgressCallback* p) { return downloadDbFiles(p); }},
        // Only what the selected categories read is copied or carved out of the source.
        {1000, [&](CIProgressCallback* p) {
             return !selected({KdData::Messages, KdData::MessageAttachments}) || downloadMediaFiles2(const_cast<const char**>(kSmsFolder), 1, p);
         }},
        {2000, [&](CIProgressCallback* p) { return collectDbDatas(backup, p, skipped); }},
        {4000, [&](CIProgressCallback* p) {
             return !selected({KdData::CameraRoll, KdData::PhotoStream, KdData::PhotoLibrary}) || downloadMediaFiles(p);
         }},
        {1000, [&](CIProgressCallback* p) { return collectFileDatas(backup, p); }},
        {1000, [&](CIProgressCallback* p) {
             if (selected({KdData::CameraRoll, KdData::VoiceMemos}))
                 scanDeletedFiles(backup, p, skipped);
             return true;
         }},
    };
    bool completed = true;
    for (const auto& step : steps) {
        CSubProgress sub(progress, step.share);
        sub.initRange(100);
        if (!step.run(&sub) || !sub.finish()) {
            completed = false;
            break;
        }
    }
    // The view only stood in for an index; the copies stay for the items to name.
    QDir(tmp.filePath(QStringLiteral("view"))).removeRecursively();
    if (skipped && !m_unreadable.isEmpty())
        *skipped << QStringLiteral("%1 file(s) or folder(s) of the copy cannot be read (%2%3): what they hold is not read")
                        .arg(m_unreadable.size())
                        .arg(m_unreadable.mid(0, 3).join(QStringLiteral(", ")), m_unreadable.size() > 3 ? QStringLiteral(", ...") : QString());
    if (!completed)
        return false;
    if (progress)
        progress->finish();
    return true;
}

bool CiPhoneBackup::downloadDbFiles(CIProgressCallback* progress)
{
    QDir tmp(m_tmpPath);
    if (!tmp.mkdir(QStringLiteral("sqlite_dbs")))
        return false;
    const QDir dbs(tmp.filePath(QStringLiteral("sqlite_dbs")));
    m_recursive = false;
    m_searchDeleted = false;
    m_pProgress = progress;
    m_totalSize = 0;
    for (const char* folder : kDbFolders)
        if (folderSelected(QLatin1String(folder)))
            m_totalSize += dirSize(m_pDevice, QLatin1String(folder));
    for (const char* folder : kDbFolders) {
        const QString device = QLatin1String(folder);
        if (folderSelected(device))
            scanDir(m_pDevice, device, dbs.absoluteFilePath(device.section(QLatin1Char('/'), -1)), this);
    }
    const bool ok = downloadGroupContainers(progress);
    m_pProgress = nullptr;
    return ok;
}

// The notes, reminders and recordings of the newer systems live in group containers named by a
// random folder; each says whose it is in its metadata.
bool CiPhoneBackup::downloadGroupContainers(CIProgressCallback* progress)
{
    const QString groups = m_pDevice ? m_pDevice->localPath(QLatin1String(kAppGroups)) : QString();
    if (groups.isEmpty() || !QFileInfo(groups).isDir())
        return true;
    const QDir dbs(QDir(m_tmpPath).filePath(QStringLiteral("sqlite_dbs")));
    for (const QFileInfo& container : QDir(groups).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name)) {
        const QString devicePath = QLatin1String(kAppGroups) + QLatin1Char('/') + container.fileName();
        const QString metadata = dbs.filePath(QStringLiteral("metadata.plist"));
        QFile::remove(metadata);
        if (downloadFile(m_pDevice, devicePath + QLatin1Char('/') + QLatin1String(kContainerMetadata), metadata, nullptr) <= 0)
            continue;
        std::string bytes, error;
        QString identifier;
        if (ibrio::readRegularFile(QFile::encodeName(metadata).toStdString(), 1 << 20, &bytes, &error)) {
            const PlistPtr root(plistFromBytes(QByteArray::fromStdString(bytes)));
            readPlistString(root.get(), "MCMMetadataIdentifier", identifier);
        }
        QFile::remove(metadata);
        if (!std::any_of(std::begin(kGroups), std::end(kGroups), [&](const char* g) { return identifier == QLatin1String(g); })
            || !folderSelected(identifier))
            continue;
        m_groups.insert(container.fileName(), identifier);
        m_recursive = true;
        m_totalSize += dirSize(m_pDevice, devicePath);
        scanDir(m_pDevice, devicePath, dbs.absoluteFilePath(identifier), this);
        m_recursive = false;
        if (progress && !progress->progress(0.0))
            return false;
    }
    return true;
}

bool CiPhoneBackup::downloadMediaFiles2(const char** deviceDirs, int count, CIProgressCallback* progress)
{
    QDir tmp(m_tmpPath);
    if (!tmp.exists(QStringLiteral("medias")) && !tmp.mkdir(QStringLiteral("medias")))
        return false;
    const QDir medias(tmp.filePath(QStringLiteral("medias")));
    m_recursive = true;
    m_searchDeleted = true;
    m_pProgress = progress;
    m_totalSize = 0;
    for (int i = 0; i < count; ++i)
        m_totalSize += dirSize(m_pDevice, QLatin1String(deviceDirs[i]));
    for (int i = 0; i < count; ++i) {
        const QString device = QLatin1String(deviceDirs[i]);
        scanDir(m_pDevice, device, medias.absoluteFilePath(device.section(QLatin1Char('/'), -1)), this);
    }
    m_pProgress = nullptr;
    m_searchDeleted = false;
    m_recursive = false;
    return !progress || progress->progress(0.0);
}

bool CiPhoneBackup::downloadMediaFiles(CIProgressCallback* progress)
{
    return downloadMediaFiles2(const_cast<const char**>(kMediaFolders), int(std::size(kMediaFolders)), progress);
}

bool CiPhoneBackup::stepIntoDir(const QString& deviceDir)
{
    if (m_recursive)
        Log(kModule, 1, "step into %s", deviceDir.toUtf8().constData());
    return m_recursive;
}

bool CiPhoneBackup::handleFile(const QString& devicePath, const QString& localDir)
{
    const QString local = QDir(localDir).filePath(devicePath.section(QLatin1Char('/'), -1));
    Log(kModule, 1, "copy file %s", devicePath.toUtf8().constData());
    if (ensureFileDirExists(local) && downloadFile(m_pDevice, devicePath, local, this) > 0)
        m_fileInfos.append(new CiPhoneFileInfo{local, false, devicePath});
    return m_pProgress ? m_pProgress->progress(0.0) : true;
}

void CiPhoneBackup::cannotRead(const QString& devicePath)
{
    if (m_unreadable.contains(devicePath))
        return; // the databases' folders are walked again for their attachments
    Log(kModule, 0, "%s cannot be read: not copied", devicePath.toUtf8().constData());
    m_unreadable << devicePath;
}

bool CiPhoneBackup::downloaded(qint64 bytes)
{
    if (!m_pProgress)
        return true;
    const double step = m_totalSize > 0 && bytes > 0 ? double(m_pProgress->range()) * double(bytes) / double(m_totalSize) : 0.0;
    return m_pProgress->progress(step);
}

void CiPhoneBackup::allSize(qint64) {}

bool CiPhoneBackup::findDbFile(const QString& name, QString& path) const
{
    path.clear();
    const QString dbs = QDir(QDir(m_tmpPath).filePath(QStringLiteral("sqlite_dbs"))).absolutePath();
    for (const CiPhoneFileInfo* f : m_fileInfos)
        if (f->path.startsWith(dbs) && f->path.endsWith(name)) {
            path = f->path;
            return true;
        }
    return false;
}

void CiPhoneBackup::extendView()
{
    const QDir view(QDir(m_tmpPath).filePath(QStringLiteral("view")));
    if (!view.exists() && !QDir().mkpath(view.path()))
        return;
    for (; m_viewed < m_fileInfos.size(); ++m_viewed) {
        const CiPhoneFileInfo* f = m_fileInfos.at(m_viewed);
        const auto [domain, relative] = backupLocation(f->devicePath, m_groups);
        if (f->isDeleted || domain.isEmpty() || relative.isEmpty())
            continue;
        auto* record = new CManifestRecord;
        record->domain = domain;
        record->relativePath = relative;
        record->hashName = backupFileName(domain, relative);
        const QFileInfo copy(f->path);
        record->size = copy.size();
        record->mtime = copy.lastModified().toSecsSinceEpoch();
        record->mode = 0100644;
        const QString link = view.filePath(record->hashName);
        // A link costs nothing; a copy only where links are not to be had.
        if (::link(QFile::encodeName(f->path).constData(), QFile::encodeName(link).constData()) != 0 && !QFile::copy(f->path, link)) {
            delete record;
            continue;
        }
        m_viewCopies.insert(record->hashName, f->path);
        m_viewRecords.append(record);
    }
}

bool CiPhoneBackup::runReaders(KdBackup* backup, CIProgressCallback* progress, const QStringList& categories, QStringList* skipped)
{
    extendView();
    const QString view = QDir(QDir(m_tmpPath).filePath(QStringLiteral("view"))).absolutePath();
    CiPhoneSMSPieceReader pieces(this);
    CategorySource source{view, m_viewRecords, QString(), m_pDevice ? m_pDevice->deviceType(nullptr) : QString(), &pieces};
    const bool ok = runCategories(backup, progress, source, skipped, categories);
    remapItemFiles(backup, view, [this](const QString& path) { return m_viewCopies.value(QFileInfo(path).fileName(), path); });
    return ok;
}

bool CiPhoneBackup::collectDbDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped)
{
    Log(kModule, 0, "Start to collect iphone data");
    if (progress)
        progress->initRange(10000);
    CSubProgress sub(progress, 833);
    if (!runReaders(backup, &sub,
                    {QStringLiteral("contacts"), QStringLiteral("messages"), QStringLiteral("call history"), QStringLiteral("calendar"),
                     QStringLiteral("notes"), QStringLiteral("reminders"), QStringLiteral("voice memos"), QStringLiteral("safari")},
                    skipped))
        return false;
    // Recordings the copy holds and no row names are recordings the user deleted.
    if (backup && backup->getVoiceMemo()) {
        CiPhoneVoiceMemoTranslater translater(QDir(QDir(m_tmpPath).filePath(QStringLiteral("sqlite_dbs"))).absolutePath());
        KdData* memos = backup->getVoiceMemo();
        for (int i = 0; i < memos->count(); ++i)
            if (auto* file = dynamic_cast<KdFileItem*>(memos->at(i, false)))
                translater.markTranslated(file->filePath());
        translater.collectUnreferenced(memos);
    }
    CSubProgress recovery(progress, 3333);
    recovery.initRange(100);
    recoveryDeleted(backup, &recovery, skipped);
    recovery.finish();
    return true;
}

bool CiPhoneBackup::recoveryDeleted(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped)
{
    QStringList databases;
    const QString dbs = QDir(QDir(m_tmpPath).filePath(QStringLiteral("sqlite_dbs"))).absolutePath();
    for (const CiPhoneFileInfo* f : m_fileInfos) {
        const QString name = QFileInfo(f->path).fileName();
        if (!f->path.startsWith(dbs) || name.endsWith(QLatin1String("-wal")) || name.endsWith(QLatin1String("-shm"))
            || name.endsWith(QLatin1String("-journal")))
            continue;
        // The same name twice (call history of two layouts): the first copy is scanned.
        if (std::none_of(databases.cbegin(), databases.cend(), [&](const QString& d) { return QFileInfo(d).fileName() == name; }))
            databases << f->path;
    }
    const QList<int> selected = CategorySelection::current();
    const QList<int> types = CDeletedRecovery::typesForCategories(selected);
    if (databases.isEmpty() || !backup || !progress || (!selected.isEmpty() && types.isEmpty()))
        return true;
    CDeletedRecovery recovery;
    recovery.setTypes(types);
    return recovery.recover(databases, backup, progress, skipped);
}

bool CiPhoneBackup::collectFileDatas(KdBackup* backup, CIProgressCallback* progress)
{
    if (progress)
        progress->initRange(10000);
    CSubProgress sub(progress, 1666);
    // Pictures, streams and attachments are listed as a backup lists them, with their descriptions.
    if (!runReaders(backup, &sub, {QStringLiteral("camera roll"), QStringLiteral("photo stream"), QStringLiteral("message attachments")},
                       nullptr))
        return false;
    // What a backup does not hold: pictures synced from a computer, and the library's own files.
    const QDir medias(QDir(m_tmpPath).filePath(QStringLiteral("medias")));
    for (const char* folder : {"Photos", "PhotoData"}) {
        sub.initRange(100);
        CiPhoneFileCollection collection(backup ? backup->getPhotoLibrary() : nullptr, medias.absoluteFilePath(QLatin1String(folder)), mediaList());
        collection.setProgress(&sub);
        collection.collect(m_fileInfos);
        if (!sub.finish())
            return false;
    }
    return true;
}

bool CiPhoneBackup::searchDeleted(const QString& deviceDir)
{
    if (!m_searchDeleted || deviceDir.contains(QLatin1String("/.")))
        return false;
    bool answer = false;
    if (deviceDir.startsWith(QLatin1String("/mnt2/mobile/Media/DCIM")) || deviceDir.startsWith(QLatin1String("/mnt2/mobile/Media/PhotoData"))
        || deviceDir.startsWith(QLatin1String("/mnt2/mobile/Media/PhotoStreamsData")))
        answer = deviceDir.contains(QLatin1String("APPLE"));
    else
        answer = deviceDir == QLatin1String("/mnt2/mobile/Media/Photos/Sync");
    if (answer)
        Log(kModule, 0, "search deleted for %s", deviceDir.toUtf8().constData());
    return answer;
}

void CiPhoneBackup::scanDeletedFiles(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped)
{
    QDir tmp(m_tmpPath);
    if (!m_pDevice || !tmp.mkdir(QStringLiteral("deleted")))
        return;
    DeleteProgressCallback callback(progress);
    QMap<QString, QString> found;
    QString why;
    // Recordings go to the voice memos, pictures and videos to the camera roll: only the kinds
    // of the selected ones are carved.
    QStringList kinds;
    for (const QString& ext : mediacarve::supportedExtensions()) {
        const bool recording = ext.compare(QLatin1String("m4a"), Qt::CaseInsensitive) == 0 || ext.compare(QLatin1String("amr"), Qt::CaseInsensitive) == 0;
        if (selected({recording ? KdData::VoiceMemos : KdData::CameraRoll}))
            kinds << ext;
    }
    if (!m_pDevice->scanDeletedFile(kinds, tmp.absoluteFilePath(QStringLiteral("deleted")), found, &callback, &why)
        && skipped && !why.isEmpty())
        *skipped << QStringLiteral("deleted media: %1: %2; what lay after it was not searched").arg(m_pDevice->image(), why);
    QMap<QString, QStringList> dropped; // reason -> file names
    for (auto it = found.constBegin(); it != found.constEnd(); ++it) {
        const QString name = QFileInfo(it.key()).fileName();
        const qint64 size = QFileInfo(it.key()).size();
        QString why;
        if (size <= 0) {
            dropped[QStringLiteral("empty")] << name;
            continue;
        }
        if (!carvedFilePlausible(it.key(), &why)) {
            dropped[why] << name;
            continue;
        }
        KdData* category = backup ? carvedFileCategory(backup, it.value()) : nullptr;
        if (!category) {
            dropped[QStringLiteral("no category holds %1").arg(it.value().section(QLatin1Char('/'), 0, -2))] << name;
            continue;
        }
        KdFileItem* item = nullptr;
        if (category == backup->getVoiceMemo()) {
            item = makeVoiceMemoItem(it.key(), name, size, mediacarve::recordingSeconds(it.key()));
        } else {
            item = KdFileItem::createItem();
            item->setValue(name, 0);
            item->setFilePath(it.key());
            item->setSize(quint64(size));
        }
        item->setDevicePath(it.value());
        item->setFlag(true, 0);
        category->prepend(item);
    }
    if (!skipped)
        return;
    for (auto it = dropped.constBegin(); it != dropped.constEnd(); ++it) {
        const QStringList& names = it.value();
        QString list = names.mid(0, 10).join(QStringLiteral(", "));
        if (names.size() > 10)
            list += QStringLiteral(" and %1 more").arg(names.size() - 10);
        *skipped << QStringLiteral("%1 carved %2 not listed (%3): %4")
                        .arg(names.size())
                        .arg(names.size() == 1 ? QStringLiteral("file") : QStringLiteral("files"), it.key(), list);
    }
}

void CiPhoneBackup::buildTestFileInfos(const QString& dir)
{
    for (const QFileInfo& e : QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (e.isDir() && !e.isSymLink())
            buildTestFileInfos(e.absoluteFilePath());
        else if (e.isFile())
            m_fileInfos.append(new CiPhoneFileInfo{e.absoluteFilePath(), false, QString()});
    }
}

// ---------------------------------------------------------------------------------------------

CiPhoneFileCollection::CiPhoneFileCollection(KdData* data, const QString& pathPrefix, const QStringList& suffixes)
    : m_pathPrefix(pathPrefix), m_suffixes(suffixes), m_pData(data)
{
}

void CiPhoneFileCollection::collect(const QList<CiPhoneFileInfo*>& files)
{
    const double step = m_pProgress && !files.isEmpty() ? double(m_pProgress->range()) / double(files.count()) : 0.0;
    for (const CiPhoneFileInfo* file : files) {
        if (m_pProgress && !m_pProgress->progress(step))
            break;
        if (!m_pathPrefix.isEmpty() && !file->path.startsWith(m_pathPrefix))
            continue;
        if (file->path.contains(QLatin1String("/.")) || !QFileInfo::exists(file->path))
            continue;
        collectFile(file);
    }
}

bool CiPhoneFileCollection::collectFile(const CiPhoneFileInfo* file)
{
    const QFileInfo info(file->path);
    if (!m_suffixes.isEmpty() && !m_suffixes.contains(info.suffix(), Qt::CaseInsensitive))
        return false;
    if (info.size() <= 0 || !m_pData)
        return false;
    KdFileItem* item = KdFileItem::createItem();
    item->setValue(info.fileName(), 0);
    item->setFilePath(file->path);
    item->setFlag(file->isDeleted, 0);
    item->setSize(quint64(info.size()));
    if (!file->devicePath.isEmpty())
        item->setDevicePath(file->devicePath);
    m_pData->append(item);
    return true;
}

bool DeleteProgressCallback::downloaded(qint64 bytes)
{
    if (!m_pProgress)
        return true;
    const double step = m_total > 0 && bytes > 0 ? double(m_pProgress->range()) * double(bytes) / double(m_total) : 0.0;
    return m_pProgress->progress(step);
}
