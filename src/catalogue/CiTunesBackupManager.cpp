#include "CiTunesBackupManager.h"
#include "DeviceModels.h"
#include "Plist.h"

#include <mutex>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include <plist/plist.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "AppDataFolder.h"
#include "CiTunesBackup.h"
#include "utility/Log.h"
#include "ThreadDownload.h"
#include "framework/ZuProductInfo.h"

namespace {

const char* const kModule = "CiTunesBackupManager";

// A name ending in '-' plus text after the 40-digit device identifier carries a suffix that
// tells copies of the same device's backup apart.
constexpr int kSuffixDashIndex = 40;

struct BuiltInDeviceType {
    const char* prefix;
    const char* name;
};

// Searched in order, plain prefixes: the specific iPad2,5-7 and iPad3,4-6 rows must precede the
// general "iPad2," and "iPad3," rows.
const BuiltInDeviceType kBuiltInDeviceTypes[] = {
    {"iPod1,", "iPod touch"},
    {"iPod2,", "iPod touch 2G"},
    {"iPod3,", "iPod touch 3G"},
    {"iPod4,", "iPod touch 4G"},
    {"iPod5,", "iPod touch 5G"},
    {"iPhone1,1", "iPhone"},
    {"iPhone1,2", "iPhone 3G"},
    {"iPhone2,1", "iPhone 3GS"},
    {"iPhone3,", "iPhone 4"},
    {"iPhone4,1", "iPhone 4S"},
    {"iPhone5,1", "iPhone 5"},
    {"iPhone5,2", "iPhone 5"},
    {"iPhone5,3", "iPhone 5C"},
    {"iPhone5,4", "iPhone 5C"},
    {"iPhone6,1", "iPhone 5S"},
    {"iPhone6,2", "iPhone 5S"},
    {"iPad1,1", "iPad"},
    {"iPad2,5", "iPad mini"},
    {"iPad2,6", "iPad mini"},
    {"iPad2,7", "iPad mini"},
    {"iPad2,", "iPad 2"},
    {"iPad3,4", "iPad 4"},
    {"iPad3,5", "iPad 4"},
    {"iPad3,6", "iPad 4"},
    {"iPad3,", "The New iPad"},
    {"iPad4,1", "iPad Air"},
    {"iPad4,2", "iPad Air"},
    {"iPad4,4", "iPad mini 2"},
    {"iPad4,5", "iPad mini 2"},
};

bool backupNewerFirst(const CiTunesBackup* a, const CiTunesBackup* b)
{
    return b->backupDateTime() < a->backupDateTime();
}

// libplist 2.2 hands out blocks from malloc and has no release function of its own.
void releasePlistBlock(void* block)
{
    std::free(block);
}

ThreadDownload* downloadThread(void* p)
{
    return static_cast<ThreadDownload*>(p);
}

void stopAndDelete(ThreadDownload* thread)
{
    thread->stop();
    thread->wait(); // bounded: the transfer notices the stop within about a second
    delete thread;
}

} // namespace

// Owner of every backup any copy of a manager has listed; the last manager sharing it deletes
// them.
struct CiTunesBackupManager::BackupPool {
    QList<CiTunesBackup*> owned;
    ~BackupPool() { qDeleteAll(owned); }
};

CiTunesBackupManager* CiTunesBackupManager::m_pSolo = nullptr;
void* CiTunesBackupManager::g_pThdDownloadConfig = nullptr;

// Guards the creation and release of the shared instance: callers on several threads must all
// get the same one.
static std::recursive_mutex& instanceMutex()
{
    static std::recursive_mutex m;
    return m;
}

CiTunesBackupManager::CiTunesBackupManager()
    : m_deviceTypes(std::make_shared<const DeviceTypeMap>()), m_pool(std::make_shared<BackupPool>())
{
}

CiTunesBackupManager::CiTunesBackupManager(const CiTunesBackupManager& other)
    : m_backups(other.m_backups), m_deviceTypes(other.deviceTypes()), m_pool(other.m_pool)
{
}

CiTunesBackupManager& CiTunesBackupManager::operator=(const CiTunesBackupManager& other)
{
    if (this != &other) {
        m_backups = other.m_backups;
        std::atomic_store(&m_deviceTypes, other.deviceTypes());
        m_pool = other.m_pool; // the old pool goes with its last holder
    }
    return *this;
}

CiTunesBackupManager::~CiTunesBackupManager()
{
    // A download bound to this manager must not outlive it.
    ThreadDownload* thread = downloadThread(g_pThdDownloadConfig);
    if (thread && thread->manager() == this) {
        stopAndDelete(thread);
        g_pThdDownloadConfig = nullptr;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(instanceMutex());
        if (m_pSolo == this)
            m_pSolo = nullptr;
    }
    m_backups.clear();
}

CiTunesBackupManager* CiTunesBackupManager::getInstance()
{
    std::lock_guard<std::recursive_mutex> lock(instanceMutex());
    if (m_pSolo)
        return m_pSolo;
    m_pSolo = new CiTunesBackupManager;
    Log(kModule, 1, " m_pSolo->setupDeviceTypeMap");
    m_pSolo->setupDeviceTypeMap(ThreadDownload::currentConfig());
    Log(kModule, 1, " m_pSolo->setupDeviceTypeMap()");
    return m_pSolo;
}

void CiTunesBackupManager::releaseInstance()
{
    std::lock_guard<std::recursive_mutex> lock(instanceMutex());
    if (ThreadDownload* thread = downloadThread(g_pThdDownloadConfig)) {
        stopAndDelete(thread);
        g_pThdDownloadConfig = nullptr;
    }
    if (m_pSolo)
        delete m_pSolo; // clears m_pSolo
}

bool CiTunesBackupManager::searchBackups()
{
    QString root;
    if (!defaultBackupRoot(&root))
        return false;
    return searchBackups(root);
}

bool CiTunesBackupManager::searchBackups(const QString& backupRoot)
{
    // QDir("") would list the working directory. The listing's dot entries (the root and what
    // holds it) are tried like any folder and fail for want of a Manifest.plist.
    m_unreadable.clear();
    if (!backupRoot.isEmpty() && QFileInfo(backupRoot).isDir() && (!QFileInfo(backupRoot).isReadable() || !QFileInfo(backupRoot).isExecutable()))
        m_unreadable << QStringLiteral("%1: the folder cannot be read (no permission)").arg(backupRoot);
    const QFileInfoList entries = backupRoot.isEmpty() ? QFileInfoList() : QDir(backupRoot).entryInfoList();
    for (const QFileInfo& entry : entries) {
        if (!entry.isDir())
            continue;
        const QString path = entry.absoluteFilePath();
        auto* backup = new CiTunesBackup(this);
        if (backup->parseFromPath(path)) {
            Log(kModule, 1, " searchBackups");
            const QString name = entry.fileName();
            if (name.size() > kSuffixDashIndex + 1 && name.at(kSuffixDashIndex) == QLatin1Char('-')) {
                const QString suffix = name.mid(kSuffixDashIndex + 1);
                Log(kModule, 1, " setSuffix");
                backup->setSuffix(suffix);
                Log(kModule, 1, " setSuffix(suf)");
            }
            Log(kModule, 1, " append");
            m_pool->owned.append(backup);
            m_backups.append(backup);
            Log(kModule, 1, " append(backup)");
        } else {
            Log("iTunesBackup", 0, "Fail to parse %s", path.toUtf8().constData());
            // A damaged backup left out in silence would look like one that was never made.
            const QDir dir(path);
            const bool dots = entry.fileName() == QLatin1String(".") || entry.fileName() == QLatin1String("..");
            // A folder closed to this user could hold anything, a backup too.
            if (!dots && (!entry.isReadable() || !entry.isExecutable())) {
                m_unreadable << QStringLiteral("%1: the folder cannot be read (no permission)").arg(path);
                delete backup;
                continue;
            }
            bool looksLikeOne = backup->parseFailure() != CiTunesBackup::NotABackup;
            for (const char* name : {"Manifest.plist", "Info.plist", "Manifest.db", "Manifest.mbdb", "Status.plist"})
                looksLikeOne = looksLikeOne || (entry.fileName() != QLatin1String(".") && entry.fileName() != QLatin1String("..")
                                                && QFileInfo::exists(dir.filePath(QLatin1String(name))));
            if (looksLikeOne) {
                const QString problem = backup->parseProblem();
                m_unreadable << (problem.startsWith(path) ? problem : QStringLiteral("%1: %2").arg(path, problem));
            }
            delete backup;
        }
    }
    Log(kModule, 1, " qSort");
    std::sort(m_backups.begin(), m_backups.end(), backupNewerFirst);
    Log(kModule, 1, " qSort()");
    return true;
}

unsigned int CiTunesBackupManager::numberOfBackups() const
{
    return static_cast<unsigned int>(m_backups.size());
}

const CiTunesBackup* CiTunesBackupManager::backupByIndex(unsigned int index) const
{
    if (index >= numberOfBackups())
        return nullptr;
    return m_backups.at(static_cast<qsizetype>(index));
}

std::shared_ptr<const CiTunesBackupManager::DeviceTypeMap> CiTunesBackupManager::deviceTypes() const
{
    return std::atomic_load(&m_deviceTypes);
}

void CiTunesBackupManager::setupDeviceTypeMap(const QString& plistText)
{
    const QByteArray xml = plistText.toUtf8();
    // A downloaded list is untrusted input: bounded like every other property list.
    PlistPtr owner(plistFromBytes(xml, false, true));
    const plist_t root = owner.get();
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        Log(kModule, 1, " ()");
        return;
    }

    // Built aside and published whole: readers on other threads see the old map or the new one.
    auto map = std::make_shared<DeviceTypeMap>();
    Log(kModule, 1, " plist_dict_iter");
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    Log(kModule, 1, " plist_dict_iter()");
    if (it) {
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root, it, &key, &value);
            if (!key || !value) {
                releasePlistBlock(key);
                break;
            }
            bool isString = false;
            const QString text = plistStringText(value, &isString);
            if (isString)
                map->insert(QString::fromUtf8(key), text);
            releasePlistBlock(key);
        }
        Log(kModule, 1, " plist_free_block");
        releasePlistBlock(it);
        Log(kModule, 1, " plist_free_block()");
    }
    Log(kModule, 1, " plist_free");
    owner.reset();
    Log(kModule, 1, " plist_free()");

    std::atomic_store(&m_deviceTypes, std::shared_ptr<const DeviceTypeMap>(std::move(map)));
    Log(kModule, 1, " ()");
}

void CiTunesBackupManager::updateDeviceTypeMap()
{
    if (g_pThdDownloadConfig)
        return;
    auto* thread = new ThreadDownload(this, nullptr);
    thread->setOnReceived([this](const QString& listText) { setupDeviceTypeMap(listText); });
    g_pThdDownloadConfig = thread;
    const QString base = ZuProductInfo::instance()->extendParam(QStringLiteral("firmwareUrl"));
    thread->setUrl(base);
    if (base.isEmpty())
        return;
    thread->setUrl(base + QStringLiteral("dt.plist"));
    thread->start(QThread::InheritPriority);
}

QString CiTunesBackupManager::getDeviceType(const QString& productType) const
{
    const std::shared_ptr<const DeviceTypeMap> map = deviceTypes();
    return map->value(productType);
}

QString CiTunesBackupManager::deviceTypeName(const QString& productType)
{
    return deviceTypeName(this, productType);
}

QString CiTunesBackupManager::deviceTypeName(CiTunesBackupManager* manager, const QString& productType)
{
    const QString builtIn = builtInDeviceType(productType);
    if (!builtIn.isEmpty())
        return builtIn;
    if (manager) {
        const QString downloaded = manager->getDeviceType(productType);
        if (!downloaded.isEmpty())
            return downloaded;
        manager->updateDeviceTypeMap();
    }
    const QString known = knownModelName(productType);
    return known.isEmpty() ? deviceFamilyName(productType) : known;
}

QString CiTunesBackupManager::builtInDeviceType(const QString& productType)
{
    for (const BuiltInDeviceType& row : kBuiltInDeviceTypes)
        if (productType.startsWith(QLatin1String(row.prefix)))
            return QString::fromLatin1(row.name);
    return QString();
}

QString CiTunesBackupManager::deviceFamilyName(const QString& productType)
{
    if (productType.startsWith(QLatin1String("iPod")))
        return QStringLiteral("iPod touch");
    if (productType.startsWith(QLatin1String("iPhone")))
        return QStringLiteral("iPhone");
    if (productType.startsWith(QLatin1String("iPad")))
        return QStringLiteral("iPad");
    return productType;
}

int CiTunesBackupManager::waitForDeviceTypeDownload(unsigned long msecs)
{
    ThreadDownload* thread = downloadThread(g_pThdDownloadConfig);
    if (!thread)
        return -1;
    thread->wait(QDeadlineTimer(static_cast<qint64>(msecs)));
    return thread->status();
}
