#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <QHash>

#include "BackupCrypto.h"
#include "Plist.h"

#include "CManifestRecord.h"

class CiTunesBackupManager;

// Parsed state of one backup folder, shared by copies of its CiTunesBackup.
class CiTunesBackupPrivate
{
public:
    explicit CiTunesBackupPrivate(CiTunesBackupManager* manager);
    ~CiTunesBackupPrivate();
    CiTunesBackupPrivate(const CiTunesBackupPrivate&) = delete;
    CiTunesBackupPrivate& operator=(const CiTunesBackupPrivate&) = delete;

    bool parse(const QString& path);
    bool parseInfoPlist(const QString& file);
    bool parseManifestPlist(const QString& file);
    bool parseManifestMbdb(const QString& file);
    bool parseManifestDb(const QString& file);
    bool parseLegacyIndex();
    bool parseLegacyMetadata(const char* bytes, qint64 length);
    // Copies the category databases with their companions into targetFolder for the deleted-record
    // scan; what could not be copied is appended to `skipped` with the reason.
    // `sourceRoot` is where the data files are read: the backup, or the decrypted copies of an
    // encrypted one.
    void stageRecoveryDatabases(const QString& targetFolder, const QString& sourceRoot, QStringList& copied,
                                QStringList* skipped = nullptr) const;
    // Encrypted backups: decrypts the files the categories read into `folder`, laid out as in the
    // backup; pictures, attachments and recordings are represented there by empty files of their
    // size (their bytes are decrypted only when exported). False when the progress stopped it.
    bool decryptForReading(const QString& folder, class CIProgressCallback* progress, QStringList* skipped) const;
    // Copies the decrypted databases in `folder` to <keep>/<domain>/<path on the device>.
    void keepDecrypted(const QString& folder, const QString& keep, QStringList* skipped) const;
    // The key of one data file; empty (with the reason) when there is none.
    QByteArray dataFileKey(const CManifestRecord& record, QString* why) const;
    void clearFiles();
    // Keeps the first problem met while parsing; later ones are only logged.
    void noteProblem(const QString& text);

    QString m_path;
    QString m_deviceName;
    QString m_serialNumber;
    QDateTime m_lastBackupDate;
    QString m_productVersion;
    QString m_iTunesVersion;
    QString m_productType;
    QString m_productName; // Info.plist's "Product Name", where it keeps one
    bool m_isEncrypted = false;
    QString m_problem; // first problem met while parsing, for the user
    int m_failure = 0; // CiTunesBackup::ParseFailure
    QList<CManifestRecord*> m_files; // owned
    // Encrypted backups: the keybag and the key of Manifest.db as Manifest.plist keeps them, the
    // class keys once unlocked, and the records by data file name.
    QByteArray m_keybag;
    QByteArray m_manifestKey;
    QString m_unlockProblem;
    bool m_indexEncrypted = false; // Manifest.db could not be read without the password
    backupcrypto::BackupKeys m_keys;
    QHash<QString, const CManifestRecord*> m_byHash;
    QString m_fileSuffix;
    CiTunesBackupManager* m_pManager; // not owned
};

// Whether `path` is `folder` or lies below it, symbolic links resolved (also for paths that do
// not exist yet).
bool isSameOrInside(const QString& path, const QString& folder);
