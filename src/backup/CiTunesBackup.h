#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

#include "ibreader_export.h"

class CiTunesBackupManager;
class CiTunesBackupPrivate;
class CIProgressCallback;
class CManifestRecord;
class KdBackup;

// One backup folder on disk: its device description and its file index.
class IBREADER_EXPORT CiTunesBackup
{
public:
    explicit CiTunesBackup(CiTunesBackupManager* manager = nullptr);
    // Copies share the parsed state until one of them parses again: that one gets a state of its
    // own, and the others keep what they had.
    CiTunesBackup(const CiTunesBackup& other);
    CiTunesBackup& operator=(const CiTunesBackup& other);
    ~CiTunesBackup();

    bool parseFromPath(const QString& path);
    // Why parseFromPath failed, or what it could not read although it succeeded (an index that
    // ends early): the first problem met, naming the file, the offset where known and the reason.
    enum ParseFailure { NoFailure, NotABackup, Unreadable };
    ParseFailure parseFailure() const;
    QString parseProblem() const;

    QString deviceName() const; // with " - <suffix>" when a folder suffix is set
    QString deviceType() const; // raw model identifier, e.g. "iPhone5,2"
    QString modelName() const;  // the name the model is sold under, e.g. "iPhone 5"
    QString serialNumber() const;
    QDateTime backupDateTime() const; // 2001-01-01 00:00 UTC when unknown
    QString backupDateString() const;
    bool isEncrypted() const;

    // Encrypted backups. unlock() derives the key from the owner's password and unwraps the
    // class keys; where the index is encrypted too (iOS 10.2 on) it is decrypted into
    // `workFolder`, read and removed at once. Copies sharing this state are unlocked with it.
    enum UnlockResult { Unlocked, WrongPassword, CannotUnlock };
    UnlockResult unlock(const QByteArray& password, const QString& workFolder, QString* why = nullptr);
    bool isUnlocked() const; // true for a backup that is not encrypted
    // What an unlock that succeeded could still not open (class keys the keybag holds damaged);
    // empty when nothing.
    QString unlockProblem() const;
    // Whether the file index itself waits for the password (an encrypted Manifest.db).
    bool isIndexLocked() const;
    // Where collectDatas decrypts the files it reads (a private folder outside the backup); it
    // empties the folder, and the recovery folder, again before it returns, however it ends.
    void setDecryptPath(const QString& path);
    // With a folder set, collectDatas also keeps the decrypted databases there, as
    // <folder>/<domain>/<path on the device>.
    void setKeepDecryptedPath(const QString& path);
    // Copies the data file `dataFile` (a path files() or a file item names) to `target`, which
    // must not exist; decrypted when the backup is encrypted.
    // `sourceFault`: set when the failure is the backup's (no key, a key that does not unwrap),
    // not the target's.
    bool copyDataFile(const QString& dataFile, const QString& target, QString* why = nullptr, bool* sourceFault = nullptr) const;
    void setSuffix(const QString& suffix);
    void setTmpPathForRecovery(const QString& path);

    // Descriptive fields as read, for front ends.
    QString path() const;
    QString rawDeviceName() const;
    QString productVersion() const;
    QString iTunesVersion() const;
    QDateTime lastBackupDate() const; // null when neither property list gave one
    QString suffix() const;
    QString fileSuffix() const; // "" or ".mddata"
    const QList<CManifestRecord*>& files() const;
    QString tmpPathForRecovery() const;

    // Extraction into the item model. False when the progress callback stopped the work. Each
    // part of the work that could not be done (a database that could not be copied or read) is
    // appended to `skipped` as one line saying what and why.
    void collectInfos(KdBackup* backup) const;
    bool collectDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped = nullptr) const;

private:
    bool recoveryDeleted(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped) const;

    std::shared_ptr<CiTunesBackupPrivate> d;
    QString m_suffix;
    QString m_tmpPathForRecovery;
    QString m_decryptPath;
    QString m_keepDecryptedPath;

    friend class CiTunesBackupPrivate;
};
