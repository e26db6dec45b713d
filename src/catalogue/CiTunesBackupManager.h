#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <memory>

#include "ibreader_export.h"

class CiTunesBackup;

// The catalogue: finds the backups under the backup root, keeps them newest first, and turns
// model identifiers ("iPhone5,2") into marketing names ("iPhone 5").
//
// One process-wide instance (getInstance / releaseInstance). Copies share the backup objects
// with the original; the backups live until the last manager holding them is destroyed, so no
// copy ever deletes what another still lists. A backup's link back to its manager (for device
// names) stays valid as long as the manager that created it lives.
class IBREADER_EXPORT CiTunesBackupManager
{
public:
    static CiTunesBackupManager* getInstance();
    // Stops and joins the device type download, then destroys the instance. Safe without an
    // instance.
    static void releaseInstance();

    CiTunesBackupManager(const CiTunesBackupManager& other);
    CiTunesBackupManager& operator=(const CiTunesBackupManager& other);
    // Public so copies can be destroyed; destroying the instance itself also clears it.
    ~CiTunesBackupManager();

    // Parses every folder under the default backup root and appends each backup to the list,
    // which is then sorted newest first. False only when the application-data folder cannot be
    // determined.
    bool searchBackups();
    // The same under an explicit root; always true.
    bool searchBackups(const QString& backupRoot);

    // Folders of the last search that look like backups (a Manifest or Info property list, a
    // file index) but could not be read: "<folder>: <reason>", one each.
    QStringList unreadableBackups() const { return m_unreadable; }

    unsigned int numberOfBackups() const;
    const CiTunesBackup* backupByIndex(unsigned int index) const; // null when out of range

    // Replaces the downloaded device type map with the entries of an XML property list whose
    // root is a dictionary; any other text leaves the map unchanged. Safe from any thread.
    void setupDeviceTypeMap(const QString& plistText);
    // Starts the background download of a fresh device type list, at most once.
    void updateDeviceTypeMap();
    // The downloaded map's name for exactly this identifier, or an empty string. Safe from any
    // thread.
    QString getDeviceType(const QString& productType) const;

    // Marketing name: the built-in table, then the downloaded map, then the family name; a miss
    // in the built-in table and the map starts the download.
    QString deviceTypeName(const QString& productType);
    // The same for a backup that may have no manager (then: built-in table, else family name).
    static QString deviceTypeName(CiTunesBackupManager* manager, const QString& productType);
    // Built-in table only; empty when no row matches.
    static QString builtInDeviceType(const QString& productType);
    // "iPod touch", "iPhone", "iPad", or the identifier itself.
    static QString deviceFamilyName(const QString& productType);

    // Waits up to `msecs` for a started download to finish (front ends that exit right after a
    // listing give the list a chance to arrive). Returns the download's status (0 received,
    // 1 stopped, 2 not run / still running, 3 transfer failed, 4 rejected by the server), or -1
    // when no download was ever requested.
    static int waitForDeviceTypeDownload(unsigned long msecs);

private:
    CiTunesBackupManager();

    using DeviceTypeMap = QMap<QString, QString>;
    std::shared_ptr<const DeviceTypeMap> deviceTypes() const;

    struct BackupPool;

    QList<CiTunesBackup*> m_backups;
    QStringList m_unreadable;
    // Immutable snapshot, swapped whole with std::atomic_store: the download thread installs a
    // new map while the caller's thread reads the old one.
    std::shared_ptr<const DeviceTypeMap> m_deviceTypes;
    std::shared_ptr<BackupPool> m_pool; // owns every backup in m_backups; shared by copies

    static CiTunesBackupManager* m_pSolo;
    static void* g_pThdDownloadConfig; // ThreadDownload*
};
