#include "device/CDevice.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>
#include <plist/plist.h>

#include <memory>

#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char* const kModule = "iPhoneDevice";

// Where a device's file system keeps the user's data, as copies lay it out: below the root of the
// whole file system, of /private/var, or with "mobile" and "wireless" at the top.
const char* const kVarRoots[] = {"private/var", "var", "mnt2", ""};

// What the extraction reads of a copy: an archive is unpacked only below these device folders.
const char* const kWanted[] = {
    "/mnt2/mobile/Library/Calendar/",      "/mnt2/mobile/Library/SMS/",          "/mnt2/mobile/Library/AddressBook/",
    "/mnt2/wireless/Library/CallHistory/", "/mnt2/mobile/Library/CallHistoryDB/", "/mnt2/mobile/Library/Safari/",
    "/mnt2/mobile/Library/CallHistory/",
    "/mnt2/mobile/Library/Notes/",         "/mnt2/mobile/Library/Voicemail/",    "/mnt2/mobile/Media/Recordings/",
    "/mnt2/mobile/Media/DCIM/",            "/mnt2/mobile/Media/Photos/",         "/mnt2/mobile/Media/PhotoData/",
    "/mnt2/mobile/Media/PhotoStreamsData/", "/mnt2/mobile/Containers/Shared/AppGroup/",
};

// The property files that describe the device, relative to the file system's root.
const char* const kSystemVersion = "System/Library/CoreServices/SystemVersion.plist";
const char* const kLockdown = "private/var/root/Library/Lockdown/data_ark.plist";
const char* const kPreferences = "private/var/preferences/SystemConfiguration/preferences.plist";

const qint64 kMaxPropertyFile = 16 * 1024 * 1024;

struct ArchiveDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};

// A member name made safe: no leading "/" or "./", no "." or ".." parts; empty when it climbs.
QString cleanMemberName(const QString& name)
{
    QStringList kept;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            return QString();
        kept << part;
    }
    return kept.join(QLatin1Char('/'));
}

// In the group containers (every app's) only what the system apps' readers open: the container's
// metadata that names its owner, and the notes, reminders and recordings stores; third-party
// groups can hold gigabytes.
bool isWantedInGroup(const QString& inside)
{
    static const char* const kKept[] = {".com.apple.mobile_container_manager.metadata.plist", "NoteStore.sqlite",
                                         "Container_v1/Stores/", "Recordings/"};
    for (const char* k : kKept)
        if (inside.startsWith(QLatin1String(k)))
            return true;
    return false;
}

bool isWantedDevicePath(const QString& devicePath)
{
    static const QString kGroups = QStringLiteral("/mnt2/mobile/Containers/Shared/AppGroup/");
    if (devicePath.startsWith(kGroups))
        return isWantedInGroup(devicePath.mid(kGroups.size()).section(QLatin1Char('/'), 1));
    for (const char* w : kWanted)
        if (devicePath.startsWith(QLatin1String(w)))
            return true;
    return false;
}

QString plistText(plist_t dict, const char* key)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return QString();
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? QString::fromUtf8(text, qsizetype(length)) : QString();
}

plist_t readPlist(const QString& path)
{
    std::string bytes, error;
    if (!QFileInfo(path).isFile() || !ibrio::readRegularFile(QFile::encodeName(path).toStdString(), kMaxPropertyFile, &bytes, &error))
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &root);
    return root;
}

// The folder below `root` that holds "mobile" (private/var, var, mnt2 or root itself); empty when none.
QString varRootIn(const QString& root)
{
    for (const char* r : kVarRoots) {
        const QString candidate = QDir(root).filePath(QLatin1String(r));
        const QFileInfo mobile(QDir(candidate).filePath(QStringLiteral("mobile")));
        if (mobile.isDir() && !mobile.isSymLink())
            return QDir::cleanPath(candidate);
    }
    return QString();
}

} // namespace

QString CDevice::devicePathOf(const QString& copyRelative)
{
    const QString path = cleanMemberName(copyRelative);
    for (const char* root : kVarRoots) {
        const QString prefix = *root ? QLatin1String(root) + QLatin1Char('/') : QString();
        for (const char* top : {"mobile", "wireless"}) {
            const QString head = prefix + QLatin1String(top);
            if (path == head || path.startsWith(head + QLatin1Char('/')))
                return QStringLiteral("/mnt2/") + QLatin1String(top) + path.mid(head.size());
        }
    }
    return QString();
}

std::unique_ptr<CDevice> CDevice::open(const QString& source, const QString& workDir, QString* why)
{
    std::unique_ptr<CDevice> device(new CDevice);
    device->m_source = source;
    const QFileInfo info(source);
    if (info.isDir()) {
        device->m_root = info.absoluteFilePath();
    } else if (info.isFile()) {
        if (!device->readArchive(source, workDir, why))
            return nullptr;
    } else {
        if (why)
            *why = QStringLiteral("%1: no such folder or archive").arg(source);
        return nullptr;
    }
    device->m_varRoot = varRootIn(device->m_root);
    if (device->m_varRoot.isEmpty() && !device->m_archive) {
        // A copy kept in a folder of its own ("phone/private/var/...") given by its parent.
        const QStringList inside = QDir(device->m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
        if (inside.size() == 1 && !(device->m_varRoot = varRootIn(QDir(device->m_root).filePath(inside.first()))).isEmpty())
            device->m_root = QDir(device->m_root).filePath(inside.first());
    }
    if (device->m_varRoot.isEmpty()) {
        if (why)
            *why = QStringLiteral("%1 holds no device file system (no mobile folder under private/var, var, mnt2 or its top)").arg(source);
        return nullptr;
    }
    device->readProperties();
    Log(kModule, 0, "Device copy %s: user data in %s", source.toUtf8().constData(), device->m_varRoot.toUtf8().constData());
    return device;
}

CDevice::~CDevice() = default;

// One pass over the archive: members below the wanted device folders, and the property files,
// are written under workDir/<device layout>; nothing else, and nothing that is not a regular file.
bool CDevice::readArchive(const QString& path, const QString& workDir, QString* why)
{
    m_archive = true;
    m_root = QDir(workDir).filePath(QStringLiteral("device-root"));
    if (workDir.isEmpty() || !QDir().mkpath(m_root)) {
        if (why)
            *why = QStringLiteral("no working folder to read %1 in").arg(path);
        return false;
    }
    std::unique_ptr<archive, ArchiveDeleter> a(archive_read_new());
    archive_read_support_filter_all(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_gnutar(a.get());
    archive_read_support_format_zip(a.get());
    if (archive_read_open_filename(a.get(), QFile::encodeName(path).constData(), 1 << 20) != ARCHIVE_OK) {
        if (why)
            *why = QStringLiteral("%1: not an archive that can be read (%2)").arg(path, QString::fromUtf8(archive_error_string(a.get())));
        return false;
    }
    int unpacked = 0, refused = 0;
    QStringList refusedNames; // the first few, to name them
    // Archives of a copy often keep it in one folder of its own ("phone/private/var/mobile/...");
    // the first member laid out so below one top folder names that folder, and only it is skipped.
    QString wrapper;
    archive_entry* entry = nullptr;
    int rc = ARCHIVE_OK;
    std::vector<char> buffer(1 << 20);
    // A damaged header is passed over to the next good one (a tar's checksum): count the runs.
    int damagedHeaders = 0, retries = 0;
    constexpr int kMaxRetries = 1 << 22; // 2 GB of 512-byte blocks: past it the reader is stuck
    for (;;) {
        rc = archive_read_next_header(a.get(), &entry);
        if (rc == ARCHIVE_RETRY && retries < kMaxRetries) {
            damagedHeaders += retries++ == 0 ? 1 : 0;
            continue;
        }
        retries = 0;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
            break;
        const char* rawName = archive_entry_pathname(entry);
        const QString name = rawName ? QString::fromUtf8(rawName) : QString();
        const QString clean = cleanMemberName(name);
        const bool climbs = clean.isEmpty() && name.split(QLatin1Char('/')).contains(QLatin1String(".."));
        if (clean.isEmpty() || archive_entry_filetype(entry) != AE_IFREG || archive_entry_hardlink(entry)) {
            // Climbing names and links are never written.
            if ((climbs || archive_entry_filetype(entry) == AE_IFLNK || archive_entry_hardlink(entry)) && refused++ < 3)
                refusedNames << name;
            continue;
        }
        QString target;
        QString device = devicePathOf(clean);
        const QString top = clean.section(QLatin1Char('/'), 0, 0), below = clean.section(QLatin1Char('/'), 1);
        if (device.isEmpty() && !below.isEmpty() && (wrapper.isEmpty() || top == wrapper)) {
            device = devicePathOf(below);
            if (wrapper.isEmpty() && !device.isEmpty() && isWantedDevicePath(device)) {
                wrapper = top;
                Log(kModule, 1, "Archive %s keeps the copy in its folder %s", path.toUtf8().constData(), top.toUtf8().constData());
            }
        }
        if (!device.isEmpty() && isWantedDevicePath(device))
            target = QDir(m_root).filePath(QStringLiteral("mnt2") + device.mid(5));
        for (const char* property : {kSystemVersion, kLockdown, kPreferences})
            if (clean == QLatin1String(property) || clean.endsWith(QLatin1Char('/') + QLatin1String(property)))
                target = QDir(m_root).filePath(QLatin1String(property));
        if (target.isEmpty())
            continue;
        if (!QDir().mkpath(QFileInfo(target).path())) {
            Log(kModule, 0, "No folder for %s", target.toUtf8().constData());
            continue;
        }
        ibrio::OutputFile out;
        bool ok = out.open(QFile::encodeName(target).toStdString(), ibrio::OutputFile::Replace);
        la_ssize_t n = 0;
        while (ok && (n = archive_read_data(a.get(), buffer.data(), buffer.size())) > 0)
            ok = out.write(buffer.data(), size_t(n));
        // A member cut short keeps what arrived: a database's first pages still hold records.
        if (ok && out.commit()) {
            ++unpacked;
            QFile stamped(target); // the device's time of the file is part of what it tells
            if (archive_entry_mtime_is_set(entry) && stamped.open(QIODevice::ReadWrite))
                stamped.setFileTime(QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry), Qt::UTC), QFileDevice::FileModificationTime);
        } else {
            Log(kModule, 0, "Member %s not unpacked: %s", name.toUtf8().constData(), out.error().c_str());
        }
        if (n < 0 && n != ARCHIVE_FATAL) {
            // One member damaged (a zip's checksum): the members after it are still whole.
            m_problems << QStringLiteral("%1: member %2 is damaged (%3): what was read of it is kept")
                              .arg(path, name, QString::fromUtf8(archive_error_string(a.get())));
        } else if (n < 0) {
            m_problems << QStringLiteral("%1 ends inside member %2 (%3): what lay after it is missing")
                              .arg(path, name, QString::fromUtf8(archive_error_string(a.get())));
            rc = ARCHIVE_EOF; // said above; nothing after it can be read
            break;
        }
    }
    if (damagedHeaders)
        m_problems << QStringLiteral("%1: %2 damaged member header(s) passed over: the members they named are missing")
                          .arg(path)
                          .arg(damagedHeaders);
    if (rc != ARCHIVE_EOF) {
        const QString why = QString::fromUtf8(archive_error_string(a.get()));
        Log(kModule, 0, "Archive %s ends early: %s", path.toUtf8().constData(), why.toUtf8().constData());
        m_problems << QStringLiteral("%1 ends early (%2): what lay after it is missing").arg(path, why);
    }
    if (refused) {
        Log(kModule, 0, "Archive %s: %d links or climbing names not unpacked", path.toUtf8().constData(), refused);
        m_problems << QStringLiteral("%1: %2 member(s) not unpacked, as links are never followed and names may not climb out of "
                                     "the copy (%3%4)")
                          .arg(path)
                          .arg(refused)
                          .arg(refusedNames.join(QStringLiteral(", ")), refused > refusedNames.size() ? QStringLiteral(", ...") : QString());
    }
    Log(kModule, 1, "Archive %s: %d members unpacked", path.toUtf8().constData(), unpacked);
    return true;
}

void CDevice::readProperties()
{
    const QDir root(m_root);
    if (plist_t version = readPlist(root.filePath(QLatin1String(kSystemVersion)))) {
        m_version = plistText(version, "ProductVersion");
        plist_free(version);
    }
    if (plist_t lockdown = readPlist(root.filePath(QLatin1String(kLockdown)))) {
        m_name = plistText(lockdown, "-DeviceName");
        m_serial = plistText(lockdown, "-SerialNumber");
        m_type = plistText(lockdown, "-ProductType");
        if (m_version.isEmpty())
            m_version = plistText(lockdown, "-ProductVersion");
        plist_free(lockdown);
    }
    if (m_name.isEmpty()) {
        if (plist_t prefs = readPlist(root.filePath(QLatin1String(kPreferences)))) {
            plist_t system = plist_get_node_type(prefs) == PLIST_DICT ? plist_dict_get_item(prefs, "System") : nullptr;
            plist_t inner = system && plist_get_node_type(system) == PLIST_DICT ? plist_dict_get_item(system, "System") : nullptr;
            m_name = plistText(inner, "ComputerName");
            plist_free(prefs);
        }
    }
}

const QString CDevice::deviceName(_device_st*) const { return m_name; }
const QString CDevice::deviceVer(_device_st*) const { return m_version; }
const QString CDevice::deviceSN(_device_st*) const { return m_serial; }
const QString CDevice::deviceType(_device_st*) const { return m_type; }

QString CDevice::localPath(const QString& devicePath) const
{
    // "/mnt2/mobile/..." and "/mnt2/wireless/..." are the device's own names for its user data.
    if (!devicePath.startsWith(QLatin1String("/mnt2/")))
        return QString();
    const QString rest = cleanMemberName(devicePath.mid(6));
    if (rest.isEmpty() || !(rest.startsWith(QLatin1String("mobile")) || rest.startsWith(QLatin1String("wireless"))))
        return QString();
    return QDir(m_varRoot).filePath(rest);
}
