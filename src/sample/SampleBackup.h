#pragma once

// Writes backup folders as the desktop sync software lays them out: Info.plist, Manifest.plist,
// Manifest.mbdb (or the older .mdinfo/.mddata pairs, or iOS 10's Manifest.db) and data files
// under their hashed names (iOS 10 on: in sub-folders named by the names' first two digits).
// Serves `ibreader demo` and the tests; can also write damaged variants on purpose.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

struct sqlite3;

namespace sample {

// One Manifest.mbdb record. Strings are written as given (already UTF-8 bytes), so decomposed
// Unicode, embedded NULs and odd domains can be produced.
struct MbdbRecord {
    QByteArray domain;
    QByteArray path;
    QByteArray linkTarget;
    QByteArray digest;
    QByteArray encryptionKey;
    bool domainIsEmptyMarker = false; // write the length 0xFFFF instead of the domain
    bool pathIsEmptyMarker = false;
    quint16 mode = 0100644;
    quint64 inode = 0;
    quint32 uid = 501, gid = 501;
    quint32 mtime = 0, atime = 0, ctime = 0;
    qint64 size = 0;
    quint8 protectionClass = 4;
    quint8 propertyCountOverride = 0; // non-zero: written instead of properties.size()
    QList<QPair<QByteArray, QByteArray>> properties;
};

class SampleBackupWriter
{
public:
    enum class PlistFormat { Binary, Xml };
    enum class IndexKind { Mbdb, Legacy, ManifestDb };

    explicit SampleBackupWriter(const QString& folder);

    // Info.plist (written as XML). Keys absent from the map are not written.
    bool writeInfoPlist = true;
    QMap<QString, QVariant> info; // "Device Name", "Serial Number", "Product Version", "Product Type",
                                  // "iTunes Version" (strings), "Last Backup Date" (QDateTime)

    // Manifest.plist.
    PlistFormat manifestFormat = PlistFormat::Binary;
    QVariant isEncrypted = false;  // bool, int or string; invalid: key left out
    QMap<QString, QString> lockdown; // "DeviceName", "SerialNumber", "ProductVersion", "ProductType"
    QDateTime manifestDate;        // "Date"; null: left out
    QByteArray manifestOverride;   // non-empty: written as Manifest.plist verbatim

    IndexKind indexKind = IndexKind::Mbdb; // set before adding files
    // Manifest.db in WAL mode, its last records only in Manifest.db-wal.
    bool manifestDbWal = false;
    QByteArray mbdbTail; // raw bytes appended after the last record (truncated tails, garbage)

    // An encrypted backup: with a password, Manifest.plist gets a keybag built from it, every data
    // file is encrypted with a key of its own kept in its index record, and Manifest.db with the
    // key kept as ManifestKey. Devices use 10,000 and 10,000,000 rounds; tests take a few. With
    // no second-step rounds the keybag is of the older kind (before iOS 10.2) and Manifest.db is
    // left unencrypted, as those systems did.
    QByteArray password;
    quint32 passwordRounds = 10;
    quint32 passwordFirstStepRounds = 10;

    // Sets every descriptive field to a plausible device (names, serial, versions, dates).
    void setDevice(const QString& deviceName, const QString& productType, const QString& productVersion,
                   const QDateTime& lastBackup);

    // A file of the device: indexed and written under its hashed name (plus ".mddata" for the
    // legacy kind). Returns the data file's absolute path.
    QString addFile(const QString& domain, const QString& relativePath, const QByteArray& data);
    // A record that is indexed but whose data file is not written.
    void addIndexOnly(const QString& domain, const QString& relativePath, qint64 size);
    void addRawRecord(const MbdbRecord& record); // Manifest.mbdb and Manifest.db
    // The keyed archive Manifest.db keeps of a record.
    static QByteArray fileArchive(const MbdbRecord& record);
    // An SQLite database built by `build` in a temporary file, then added like addFile.
    // `build` receives an open connection; returning false abandons the file.
    QString addDatabase(const QString& domain, const QString& relativePath,
                        const std::function<bool(sqlite3*)>& build);

    QString folder() const { return m_folder; }
    bool write(QString* error = nullptr);
    // The same files laid out as the device keeps them, under `root` (a full file-system copy:
    // private/var/mobile, private/var/wireless, the system apps' group containers) with the
    // property files that describe the device. Files of other apps are left out.
    bool writeDeviceTree(const QString& root, QString* error = nullptr) const;

private:
    bool writeManifestDb(const QString& path) const;
    bool encryptFiles(QByteArray* keybag, QByteArray* manifestKey, QByteArray* manifestDbKey);

    QString m_folder;
    QList<MbdbRecord> m_records;
    QList<QPair<QString, QByteArray>> m_dataFiles; // hashed file name -> bytes
    QList<QPair<QString, QString>> m_legacy;        // (domain, path) for .mdinfo files
};

// Database writers of the categories register themselves by name ("contacts", "messages", ...),
// so the demo backup holds every category that has one.
struct DemoOptions {
    int iosMajor = 8;  // which real table layouts to use
    int scale = 1;     // multiplies the number of rows
    QMap<QString, int> categoryScale; // per registered category name; overrides `scale`; 0 leaves it out
    std::function<bool(SampleBackupWriter&)> extra; // adds files of its own after the categories
    bool withDeletedRows = true;
    QByteArray password; // non-empty: an encrypted backup (see SampleBackupWriter::password)
    quint32 passwordRounds = 10;
    quint32 passwordFirstStepRounds = 10; // iOS 10 on; the older systems derive in one step
};
using CategoryWriter = bool (*)(SampleBackupWriter& writer, const DemoOptions& options);
struct CategoryRegistrar {
    CategoryRegistrar(const char* name, CategoryWriter writer);
};
QStringList registeredCategories();

// A complete backup of a made-up device with every registered category.
bool writeDemoBackup(const QString& folder, const DemoOptions& options = DemoOptions(), QString* error = nullptr);

// The demo's data as a device's file-system copy (see SampleBackupWriter::writeDeviceTree).
bool writeDemoDevice(const QString& root, const DemoOptions& options = DemoOptions(), QString* error = nullptr);

// SHA-1 hex of domain + "-" + path, as the backup names its data files.
QString hashedName(const QString& domain, const QString& relativePath);

} // namespace sample
