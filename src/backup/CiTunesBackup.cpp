#include "CiTunesBackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kddata/CCommonUtils.h"
#include "CiTunesBackupManager.h"
#include "CiTunesBackupPrivate.h"
#include "Plist.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char* const kModule = "iTunesBackup";

// libplist gives every date as seconds since 2001; Info.plist's date is counted from 1970 here.
const qint64 kSecondsFrom1970To2001 = 978307200;

QByteArray readWholeFile(const QString& file, bool* ok, QString* why = nullptr)
{
    std::string bytes, error;
    *ok = ibrio::readRegularFile(QFile::encodeName(file).toStdString(), quint64(kMaxPlistFileBytes), &bytes, &error);
    if (!*ok) {
        Log(kModule, 1, "%s", error.c_str()); // names the file and why it was not read
        if (why)
            *why = QFile::decodeName(error.c_str());
        return QByteArray();
    }
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
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

void CiTunesBackupPrivate::noteProblem(const QString& text)
{
    if (m_problem.isEmpty())
        m_problem = text;
}

bool CiTunesBackupPrivate::parse(const QString& path)
{
    m_path = path;
    m_deviceName.clear();
    m_serialNumber.clear();
    m_productName.clear();
    m_isEncrypted = false;
    m_keybag.clear();
    m_manifestKey.clear();
    m_indexEncrypted = false;
    m_keys.clear();
    m_byHash.clear();
    m_problem.clear();
    m_failure = CiTunesBackup::NoFailure;
    clearFiles();

    const QByteArray pathUtf8 = path.toUtf8();
    QDir dir(path);
    auto fail = [&](CiTunesBackup::ParseFailure kind, const QString& text) {
        m_failure = kind;
        noteProblem(text);
        return false;
    };
    if (path.isEmpty() || !dir.exists()) {
        Log(kModule, 0, "Backup folder not exists: %s", pathUtf8.constData());
        return fail(CiTunesBackup::NotABackup, QStringLiteral("%1: no such folder").arg(path));
    }
    const QString manifest = dir.filePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(manifest)) {
        Log(kModule, 0, "Backup db files not exists for: %s", pathUtf8.constData());
        return fail(CiTunesBackup::NotABackup, QStringLiteral("%1 holds no Manifest.plist").arg(path));
    }
    const QString info = dir.filePath(QStringLiteral("Info.plist"));
    if (!parseInfoPlist(info)) {
        Log(kModule, 1, "Fail to parse Info.plist for: %s", pathUtf8.constData());
        // Manifest.plist describes the device too, but an Info.plist that is there and cannot be
        // read is worth a line to the user.
        if (QFileInfo::exists(info) || QFileInfo(info).isSymLink())
            noteProblem(QStringLiteral("%1: not read; the device is described from Manifest.plist").arg(info));
    }
    if (!parseManifestPlist(manifest)) {
        Log(kModule, 0, "Fail to parse Manifest.plist for: %s", pathUtf8.constData());
        return fail(CiTunesBackup::Unreadable, QStringLiteral("%1: not a readable property list").arg(manifest));
    }
    // From iOS 10 on the index is a database; a Manifest.mbdb left beside it is older.
    const QString manifestDb = dir.filePath(QStringLiteral("Manifest.db"));
    if (QFileInfo::exists(manifestDb) || QFileInfo(manifestDb).isSymLink()) {
        m_fileSuffix.clear();
        if (!parseManifestDb(manifestDb)) {
            Log(kModule, 0, "Fail to parse Manifest.db for: %s", pathUtf8.constData());
            return fail(CiTunesBackup::Unreadable, QStringLiteral("%1: no file index read from it").arg(manifestDb));
        }
        return true;
    }
    const QString mbdb = dir.filePath(QStringLiteral("Manifest.mbdb"));
    if (QFileInfo::exists(mbdb) || QFileInfo(mbdb).isSymLink()) {
        m_fileSuffix.clear();
        if (!parseManifestMbdb(mbdb)) {
            Log(kModule, 0, "Fail to parse Manifest.mbdb for: %s", pathUtf8.constData());
            return fail(CiTunesBackup::Unreadable, QStringLiteral("%1: no file index read from it").arg(mbdb));
        }
        return true;
    }
    if (!parseLegacyIndex()) {
        Log(kModule, 0, "Fail to parse backup data files for: %s", pathUtf8.constData());
        return fail(CiTunesBackup::Unreadable, QStringLiteral("%1: no file index (Manifest.db of iOS 10 on, Manifest.mbdb, or readable .mdinfo files)").arg(path));
    }
    return true;
}

bool CiTunesBackupPrivate::parseInfoPlist(const QString& file)
{
    bool ok = false;
    const QByteArray bytes = readWholeFile(file, &ok);
    if (!ok)
        return false;
    // Info.plist is XML as the sync software writes it; a binary one (re-saved by other tools)
    // is read too rather than losing the device's description.
    const PlistPtr owner(plistFromBytes(bytes, true, true));
    const plist_t root = owner.get();
    if (!root)
        return false;
    readPlistString(root, "Device Name", m_deviceName);
    readPlistString(root, "Serial Number", m_serialNumber);
    readPlistString(root, "Product Version", m_productVersion);
    readPlistString(root, "iTunes Version", m_iTunesVersion);
    readPlistString(root, "Product Type", m_productType);
    readPlistString(root, "Product Name", m_productName);
    qint64 unixSeconds = 0; // a missing date is the first moment of 1970, not a null date
    qint64 since2001 = 0;
    if (plist_get_node_type(root) == PLIST_DICT && dateSeconds(root, "Last Backup Date", &since2001))
        unixSeconds = since2001 + kSecondsFrom1970To2001;
    m_lastBackupDate = CCommonUtils::buildDateTimeBaseUnix(unixSeconds);
    return true;
}

bool CiTunesBackupPrivate::parseManifestPlist(const QString& file)
{
    bool ok = false;
    QString why;
    const QByteArray bytes = readWholeFile(file, &ok, &why);
    if (!ok) {
        noteProblem(why);
        return false;
    }
    const PlistPtr owner(plistFromBytes(bytes, true, true));
    const plist_t root = owner.get();
    if (!root)
        return false;
    readPlistBool(root, "IsEncrypted", m_isEncrypted);
    if (plist_get_node_type(root) == PLIST_DICT) {
        auto dataOf = [root](const char* key) {
            plist_t node = plist_dict_get_item(root, key);
            if (!node || plist_get_node_type(node) != PLIST_DATA)
                return QByteArray();
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            return bytes ? QByteArray(bytes, qsizetype(length)) : QByteArray();
        };
        m_keybag = dataOf("BackupKeyBag");
        m_manifestKey = dataOf("ManifestKey");
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
    return true;
}

// ---------------------------------------------------------------------------------------------

CiTunesBackup::CiTunesBackup(CiTunesBackupManager* manager) : d(std::make_shared<CiTunesBackupPrivate>(manager)) {}

CiTunesBackup::CiTunesBackup(const CiTunesBackup& other) = default;
CiTunesBackup& CiTunesBackup::operator=(const CiTunesBackup& other) = default;
CiTunesBackup::~CiTunesBackup() = default;

bool CiTunesBackup::parseFromPath(const QString& path)
{
    // A fresh state: copies sharing the old one keep their file list.
    auto fresh = std::make_shared<CiTunesBackupPrivate>(d->m_pManager);
    const bool ok = fresh->parse(path);
    d = std::move(fresh);
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

QString CiTunesBackup::modelName() const
{
    // Info.plist's own name wins where it is more than the family's.
    const QString own = d->m_productName.trimmed();
    if (!own.isEmpty() && own != QLatin1String("iPhone") && own != QLatin1String("iPad") && own != QLatin1String("iPod"))
        return own;
    return CiTunesBackupManager::deviceTypeName(d->m_pManager, d->m_productType);
}
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
void CiTunesBackup::setTmpPathForRecovery(const QString& path)
{
    // The recovery folder is emptied before each run: it must not hold, or be, the backup.
    if (!path.isEmpty() && !d->m_path.isEmpty()
        && (isSameOrInside(path, d->m_path) || isSameOrInside(d->m_path, path))) {
        Log(kModule, 0, "Recovery folder %s overlaps the backup folder %s: not used", path.toUtf8().constData(),
            d->m_path.toUtf8().constData());
        m_tmpPathForRecovery.clear();
        return;
    }
    m_tmpPathForRecovery = path;
}
QString CiTunesBackup::path() const { return d->m_path; }
CiTunesBackup::ParseFailure CiTunesBackup::parseFailure() const { return ParseFailure(d->m_failure); }
QString CiTunesBackup::parseProblem() const { return d->m_problem; }
QString CiTunesBackup::rawDeviceName() const { return d->m_deviceName; }
QString CiTunesBackup::productVersion() const { return d->m_productVersion; }
QString CiTunesBackup::iTunesVersion() const { return d->m_iTunesVersion; }
QDateTime CiTunesBackup::lastBackupDate() const { return d->m_lastBackupDate; }
QString CiTunesBackup::suffix() const { return m_suffix; }
QString CiTunesBackup::fileSuffix() const { return d->m_fileSuffix; }
const QList<CManifestRecord*>& CiTunesBackup::files() const { return d->m_files; }
QString CiTunesBackup::tmpPathForRecovery() const { return m_tmpPathForRecovery; }
