#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include "BackupFiles.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char* const kModule = "iTunesBackup";

bool fail(QString* why, const QString& text)
{
    if (why)
        *why = text;
    return false;
}

} // namespace

QByteArray CiTunesBackupPrivate::dataFileKey(const CManifestRecord& record, QString* why) const
{
    if (record.encryptionKey.isEmpty()) {
        fail(why, QStringLiteral("the index keeps no key for %1").arg(record.relativePath));
        return QByteArray();
    }
    const QByteArray key = m_keys.fileKey(record.protectionClass, record.encryptionKey);
    if (key.isEmpty())
        fail(why, QStringLiteral("the key of %1 could not be unwrapped").arg(record.relativePath));
    return key;
}

CiTunesBackup::UnlockResult CiTunesBackup::unlock(const QByteArray& password, const QString& workFolder, QString* why)
{
    if (!d->m_isEncrypted)
        return Unlocked;
    const QString manifest = QDir(d->m_path).filePath(QStringLiteral("Manifest.plist"));
    backupcrypto::Keybag keybag;
    QString reason;
    if (d->m_keybag.isEmpty()) {
        fail(why, QStringLiteral("%1 keeps no keybag: the backup cannot be decrypted").arg(manifest));
        return CannotUnlock;
    }
    if (!keybag.parse(d->m_keybag, &reason)) {
        Log(kModule, 0, "Keybag of %s not read: %s", manifest.toUtf8().constData(), reason.toUtf8().constData());
        fail(why, QStringLiteral("%1: %2").arg(manifest, reason));
        return CannotUnlock;
    }
    QElapsedTimer timer;
    timer.start();
    const backupcrypto::BackupKeys::Result result = d->m_keys.unlock(keybag, password, &reason);
    Log(kModule, 1, "Key derivation (%u + %u rounds): %lld ms", keybag.dpIterations, keybag.iterations,
        qint64(timer.elapsed()));
    if (result != backupcrypto::BackupKeys::Unlocked) {
        Log(kModule, 0, "Backup %s not unlocked: %s", d->m_path.toUtf8().constData(), reason.toUtf8().constData());
        fail(why, reason);
        return result == backupcrypto::BackupKeys::WrongPassword ? WrongPassword : CannotUnlock;
    }
    d->m_unlockProblem.clear();
    if (!d->m_keys.damagedClasses().isEmpty()) {
        QStringList classes;
        for (quint32 c : d->m_keys.damagedClasses())
            classes << QString::number(c);
        d->m_unlockProblem = QStringLiteral("%1: the keybag's key of protection class %2 does not unwrap with the password that "
                                            "unwraps the others (damaged): files of that class cannot be decrypted")
                                 .arg(manifest, classes.join(QStringLiteral(", ")));
        Log(kModule, 0, "%s", d->m_unlockProblem.toUtf8().constData());
    }

    const QString manifestDb = QDir(d->m_path).filePath(QStringLiteral("Manifest.db"));
    if (d->m_indexEncrypted && d->m_manifestKey.isEmpty()) {
        d->m_keys.clear();
        fail(why, QStringLiteral("%1 keeps no ManifestKey: the encrypted Manifest.db cannot be decrypted").arg(manifest));
        return CannotUnlock;
    }
    if (d->m_indexEncrypted) {
        const QByteArray key = d->m_keys.fileKey(0, d->m_manifestKey);
        if (key.isEmpty()) {
            d->m_keys.clear();
            fail(why, QStringLiteral("%1: the key of Manifest.db could not be unwrapped").arg(manifest));
            return CannotUnlock;
        }
        // The decrypted index may never land near the evidence.
        if (workFolder.isEmpty() || isSameOrInside(workFolder, d->m_path) || !QDir(workFolder).exists()) {
            d->m_keys.clear();
            fail(why, QStringLiteral("no private working folder to decrypt Manifest.db in"));
            return CannotUnlock;
        }
        const QString plain = QDir(workFolder).filePath(QStringLiteral("Manifest-decrypted.db"));
        QFile::remove(plain);
        if (!backupcrypto::decryptFile(manifestDb, plain, key, -1, nullptr, &reason)) {
            d->m_keys.clear();
            fail(why, reason);
            return CannotUnlock;
        }
        const QString problem = d->m_problem;
        d->clearFiles();
        d->m_problem.clear();
        const bool ok = d->parseManifestDb(plain);
        for (const char* companion : {"", "-wal", "-shm", "-journal"})
            QFile::remove(plain + QLatin1String(companion));
        if (!ok) {
            d->m_keys.clear();
            fail(why, QStringLiteral("%1: decrypted, but no file index read from it").arg(manifestDb));
            return CannotUnlock;
        }
        d->m_indexEncrypted = false;
        // The index now read, the only problem left is one met after it.
        if (d->m_problem.isEmpty() && !problem.contains(QLatin1String("is encrypted")))
            d->m_problem = problem;
    }
    d->m_byHash.clear();
    d->m_byHash.reserve(d->m_files.size());
    for (const CManifestRecord* r : d->m_files)
        d->m_byHash.insert(r->hashName, r);
    Log(kModule, 1, "Backup %s unlocked", d->m_path.toUtf8().constData());
    return Unlocked;
}

bool CiTunesBackup::isUnlocked() const { return !d->m_isEncrypted || d->m_keys.isUnlocked(); }

bool CiTunesBackup::isIndexLocked() const { return d->m_indexEncrypted; }

void CiTunesBackup::setDecryptPath(const QString& path)
{
    if (!path.isEmpty() && !d->m_path.isEmpty() && (isSameOrInside(path, d->m_path) || isSameOrInside(d->m_path, path))) {
        Log(kModule, 0, "Decryption folder %s overlaps the backup folder %s: not used", path.toUtf8().constData(),
            d->m_path.toUtf8().constData());
        m_decryptPath.clear();
        return;
    }
    m_decryptPath = path;
}

void CiTunesBackup::setKeepDecryptedPath(const QString& path) { m_keepDecryptedPath = path; }

QString CiTunesBackup::unlockProblem() const { return d->m_unlockProblem; }

bool CiTunesBackup::copyDataFile(const QString& dataFile, const QString& target, QString* why, bool* sourceFault) const
{
    if (sourceFault)
        *sourceFault = false;
    if (!d->m_isEncrypted) {
        std::string error;
        if (ibrio::copyFile(QFile::encodeName(dataFile).toStdString(), QFile::encodeName(target).toStdString(), &error))
            return true;
        return fail(why, QString::fromStdString(error));
    }
    QString name = QFileInfo(dataFile).fileName();
    if (!d->m_fileSuffix.isEmpty() && name.endsWith(d->m_fileSuffix))
        name.chop(d->m_fileSuffix.size());
    const CManifestRecord* record = d->m_byHash.value(name);
    const auto backupsFault = [sourceFault] {
        if (sourceFault)
            *sourceFault = true;
        return false;
    };
    if (!record) {
        fail(why, QStringLiteral("%1 is not a file of the backup's index").arg(dataFile));
        return backupsFault();
    }
    const QByteArray key = d->dataFileKey(*record, why);
    if (key.isEmpty())
        return backupsFault();
    // Read from the backup by the record's own name, whatever folder the caller named.
    const QString source = backupDataFile(d->m_path, record->hashName, d->m_fileSuffix);
    return backupcrypto::decryptFile(source, target, key, record->size, nullptr, why);
}
