#include "CiTunesBackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

#include "CCommonUtils.h"
#include "CiTunesBackupPrivate.h"
#include "Log.h"

namespace {

const char* const kModule = "iTunesBackup";

// libplist gives every date as seconds since 2001; Info.plist's date is counted from 1970 here.
const qint64 kSecondsFrom1970To2001 = 978307200;

QByteArray readWholeFile(const QString& file, bool* ok)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *ok = false;
        return QByteArray();
    }
    *ok = true;
    return f.readAll();
}

bool dateSeconds(plist_t dict, const char* key, qint64* seconds)
{
    plist_t node = plist_access_path(dict, 1, key);
    if (!node || plist_get_node_type(node) != PLIST_DATE)
        return false;
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    *seconds = sec;
    return true;
}

} // namespace

void readPlistString(plist_t dict, const char* key, QString& target)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    plist_t node = plist_access_path(dict, 1, key);
    if (!node)
        return;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value) {
        target = QString::fromUtf8(value);
        free(value);
    }
}

void readPlistBool(plist_t dict, const char* key, bool& target)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    plist_t node = plist_access_path(dict, 1, key);
    if (!node)
        return;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        target = b != 0;
        break;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        target = (v & 0xFF) != 0;
        break;
    }
    default:
        target = false;
        break;
    }
}

plist_t plistFromBytes(const QByteArray& bytes, bool allowBinary, bool allowXml)
{
    if (bytes.isEmpty() || bytes.size() > 0x7FFFFFFF)
        return nullptr;
    plist_t root = nullptr;
    if (allowBinary && bytes.startsWith("bplist"))
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root && allowXml && !bytes.startsWith("bplist"))
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    return root;
}

CiTunesBackupPrivate::CiTunesBackupPrivate(CiTunesBackupManager* manager) : m_pManager(manager) {}

CiTunesBackupPrivate::~CiTunesBackupPrivate()
{
    clearFiles();
}

void CiTunesBackupPrivate::clearFiles()
{
    qDeleteAll(m_files);
    m_files.clear();
}

bool CiTunesBackupPrivate::parse(const QString& path)
{
    m_path = path;
    m_deviceName.clear();
    m_serialNumber.clear();
    m_isEncrypted = false;
    clearFiles();

    const QByteArray pathUtf8 = path.toUtf8();
    QDir dir(path);
    if (path.isEmpty() || !dir.exists()) {
        Log(kModule, 0, "Backup folder not exists: %s", pathUtf8.constData());
        return false;
    }
    if (!QFileInfo(dir.filePath(QStringLiteral("Manifest.plist"))).isFile()) {
        Log(kModule, 0, "Backup db files not exists for: %s", pathUtf8.constData());
        return false;
    }
    if (!parseInfoPlist(dir.filePath(QStringLiteral("Info.plist"))))
        Log(kModule, 1, "Fail to parse Info.plist for: %s", pathUtf8.constData());
    if (!parseManifestPlist(dir.filePath(QStringLiteral("Manifest.plist")))) {
        Log(kModule, 0, "Fail to parse Manifest.plist for: %s", pathUtf8.constData());
        return false;
    }
    const QString mbdb = dir.filePath(QStringLiteral("Manifest.mbdb"));
    if (QFileInfo(mbdb).isFile()) {
        m_fileSuffix.clear();
        const bool ok = parseManifestMbdb(mbdb);
        if (!ok)
            Log(kModule, 0, "Fail to parse Manifest.mbdb for: %s", pathUtf8.constData());
        return ok;
    }
    const bool ok = parseLegacyIndex();
    if (!ok)
        Log(kModule, 0, "Fail to parse backup data files for: %s", pathUtf8.constData());
    return ok;
}

bool CiTunesBackupPrivate::parseInfoPlist(const QString& file)
{
    bool ok = false;
    const QByteArray bytes = readWholeFile(file, &ok);
    if (!ok)
        return false;
    // Info.plist is XML as the sync software writes it; a binary one (re-saved by other tools)
    // is read too rather than losing the device's description.
    plist_t root = plistFromBytes(bytes, true, true);
    if (!root)
        return false;
    readPlistString(root, "Device Name", m_deviceName);
    readPlistString(root, "Serial Number", m_serialNumber);
    readPlistString(root, "Product Version", m_productVersion);
    readPlistString(root, "iTunes Version", m_iTunesVersion);
    readPlistString(root, "Product Type", m_productType);
    qint64 unixSeconds = 0; // a missing date is the first moment of 1970, not a null date
    qint64 since2001 = 0;
    if (plist_get_node_type(root) == PLIST_DICT && dateSeconds(root, "Last Backup Date", &since2001))
        unixSeconds = since2001 + kSecondsFrom1970To2001;
    m_lastBackupDate = CCommonUtils::buildDateTimeBaseUnix(unixSeconds);
    plist_free(root);
    return true;
}

bool CiTunesBackupPrivate::parseManifestPlist(const QString& file)
{
    bool ok = false;
    const QByteArray bytes = readWholeFile(file, &ok);
    if (!ok)
        return false;
    plist_t root = plistFromBytes(bytes, true, true);
    if (!root)
        return false;
    readPlistBool(root, "IsEncrypted", m_isEncrypted);
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t lockdown = plist_access_path(root, 1, "Lockdown");
        if (lockdown && plist_get_node_type(lockdown) == PLIST_DICT) {
            readPlistString(lockdown, "DeviceName", m_deviceName);
            readPlistString(lockdown, "SerialNumber", m_serialNumber);
            readPlistString(lockdown, "ProductVersion", m_productVersion);
            readPlistString(lockdown, "ProductType", m_productType);
        }
        qint64 since2001 = 0;
        if (m_lastBackupDate.isNull() && dateSeconds(root, "Date", &since2001))
            m_lastBackupDate = CCommonUtils::buildDateTimeBase2001(since2001);
    }
    plist_free(root);
    return true;
}

// ---------------------------------------------------------------------------------------------

CiTunesBackup::CiTunesBackup(CiTunesBackupManager* manager) : d(new CiTunesBackupPrivate(manager)) {}

CiTunesBackup::CiTunesBackup(const CiTunesBackup& other)
    : d(other.d), m_suffix(other.m_suffix), m_tmpPathForRecovery(other.m_tmpPathForRecovery)
{
    d->m_ref.ref();
}

CiTunesBackup& CiTunesBackup::operator=(const CiTunesBackup& other)
{
    if (this != &other) {
        other.d->m_ref.ref();
        if (!d->m_ref.deref())
            delete d;
        d = other.d;
        m_suffix = other.m_suffix;
        m_tmpPathForRecovery = other.m_tmpPathForRecovery;
    }
    return *this;
}

CiTunesBackup::~CiTunesBackup()
{
    if (!d->m_ref.deref())
        delete d;
}

bool CiTunesBackup::parseFromPath(const QString& path)
{
    const bool ok = d->parse(path);
    Log("CiTunesBackup", 1, " parseFromPath(const QString& path)");
    return ok;
}

QString CiTunesBackup::deviceName() const
{
    if (m_suffix.isEmpty())
        return d->m_deviceName;
    return d->m_deviceName + QStringLiteral(" - ") + m_suffix;
}

QString CiTunesBackup::deviceType() const { return d->m_productType; }
QString CiTunesBackup::serialNumber() const { return d->m_serialNumber; }

QDateTime CiTunesBackup::backupDateTime() const
{
    if (d->m_lastBackupDate.isNull())
        return CCommonUtils::buildDateTimeBase2001(0);
    return d->m_lastBackupDate;
}

QString CiTunesBackup::backupDateString() const
{
    Log("CiTunesBackup", 1, " backupDateString");
    return CCommonUtils::datetimeToMinute(backupDateTime(), true);
}

bool CiTunesBackup::isEncrypted() const { return d->m_isEncrypted; }
void CiTunesBackup::setSuffix(const QString& suffix) { m_suffix = suffix; }
void CiTunesBackup::setTmpPathForRecovery(const QString& path) { m_tmpPathForRecovery = path; }
QString CiTunesBackup::path() const { return d->m_path; }
QString CiTunesBackup::rawDeviceName() const { return d->m_deviceName; }
QString CiTunesBackup::productVersion() const { return d->m_productVersion; }
QString CiTunesBackup::iTunesVersion() const { return d->m_iTunesVersion; }
QDateTime CiTunesBackup::lastBackupDate() const { return d->m_lastBackupDate; }
QString CiTunesBackup::suffix() const { return m_suffix; }
QString CiTunesBackup::fileSuffix() const { return d->m_fileSuffix; }
const QList<CManifestRecord*>& CiTunesBackup::files() const { return d->m_files; }
QString CiTunesBackup::tmpPathForRecovery() const { return m_tmpPathForRecovery; }
