#include "CiTunesBackupPrivate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include "BackupFiles.h"
#include "CIProgressCallback.h"
#include "CategoryRun.h"
#include "kddata/KdData.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

// What the categories read of each file: its bytes (databases and property lists), or only that it
// is there and how large (pictures, attachments, recordings, whose bytes only an export copies).
enum class Use { None, Content, Presence };

struct Folder {
    const char* domain; // null: any domain
    const char* prefix;
    Use use;
    QList<int> categories; // KdData categories that read it
};

// First match wins: the databases beside the recordings are read, the recordings only listed.
const Folder kFolders[] = {
    {"HomeDomain", "Library/SMS/sms.db", Use::Content, {KdData::Messages, KdData::MessageAttachments}},
    {"HomeDomain", "Library/AddressBook/", Use::Content, {KdData::Contacts}},
    {"HomeDomain", "Library/CallHistory/", Use::Content, {KdData::CallHistory}},
    {"WirelessDomain", "Library/CallHistory/", Use::Content, {KdData::CallHistory}},
    {"HomeDomain", "Library/CallHistoryDB/", Use::Content, {KdData::CallHistory}},
    {"HomeDomain", "Library/Calendar/", Use::Content, {KdData::Calendar, KdData::Reminders}},
    {"HomeDomain", "Library/Notes/", Use::Content, {KdData::Notes}},
    {"HomeDomain", "Library/Safari/", Use::Content, {KdData::SafariBookmarks}},
    {"MediaDomain", "Media/Recordings/Recordings.db", Use::Content, {KdData::VoiceMemos}},
    {"MediaDomain", "Media/Recordings/CloudRecordings.db", Use::Content, {KdData::VoiceMemos}},
    {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/CloudRecordings.db", Use::Content, {KdData::VoiceMemos}},
    {nullptr, "Media/PhotoData/Photos.sqlite", Use::Content, {KdData::CameraRoll, KdData::PhotoStream, KdData::PhotoLibrary}},
    {"AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite", Use::Content, {KdData::Notes}},
    {"AppDomainGroup-group.com.apple.reminders", "Container_v1/Stores/", Use::Content, {KdData::Reminders}},
    {nullptr, "Media/DCIM/", Use::Presence, {KdData::CameraRoll, KdData::PhotoLibrary}},
    {nullptr, "Media/PhotoStreamsData/", Use::Presence, {KdData::PhotoStream}},
    {nullptr, "Media/Recordings/", Use::Presence, {KdData::VoiceMemos}},
    {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/", Use::Presence, {KdData::VoiceMemos}},
    {nullptr, "Library/SMS/Attachments/", Use::Presence, {KdData::Messages, KdData::MessageAttachments}},
    // The oldest messages keep their text in parts, read while the messages are.
    {nullptr, "Library/SMS/Parts/", Use::Content, {KdData::Messages}},
};

// `read`: the categories to read (empty: every one); a file none of them reads is not used.
Use useOf(const CManifestRecord& r, const QList<int>& read = QList<int>())
{
    for (const Folder& f : kFolders)
        if ((!f.domain || r.domain == QLatin1String(f.domain)) && r.relativePath.startsWith(QLatin1String(f.prefix))) {
            if (!read.isEmpty() && std::none_of(f.categories.begin(), f.categories.end(), [&](int c) { return read.contains(c); }))
                return Use::None;
            return f.use;
        }
    return Use::None;
}

bool isRegularFile(const CManifestRecord& r)
{
    return r.mode == 0 || (r.mode & 0xF000) == 0x8000;
}

} // namespace

bool CiTunesBackupPrivate::decryptForReading(const QString& folder, CIProgressCallback* progress, QStringList* skipped) const
{
    const QDir backup(m_path);
    const QDir target(folder);
    struct Job {
        const CManifestRecord* record;
        QString source;
        Use use;
    };
    QList<Job> jobs;
    qint64 total = 0;
    const QList<int> read = categoriesToRead(CategorySelection::current());
    for (const CManifestRecord* r : m_files) {
        if (!r || !isRegularFile(*r))
            continue;
        const Use use = useOf(*r, read);
        if (use == Use::None)
            continue;
        const QString source = backupDataFile(m_path, r->hashName, m_fileSuffix);
        if (!QFileInfo(source).isFile())
            continue; // the collectors name what is missing
        jobs.append({r, source, use});
        if (use == Use::Content)
            total += qMax<qint64>(r->size, 1);
    }
    if (progress)
        progress->initRange(100);
    const double perByte = total > 0 ? 100.0 / double(total) : 0.0;
    int decrypted = 0;
    for (const Job& job : jobs) {
        const QString copy = target.filePath(backup.relativeFilePath(job.source));
        if (!QDir().mkpath(QFileInfo(copy).path())) {
            if (skipped)
                *skipped << QStringLiteral("%1: no folder for its decrypted copy").arg(job.record->relativePath);
            continue;
        }
        if (job.use == Use::Presence) {
            // Sparse: the size the categories list, none of the bytes.
            QFile placeholder(copy);
            if (!placeholder.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !placeholder.resize(job.record->size))
                Log("iTunesBackup", 0, "No stand-in for %s: %s", job.record->relativePath.toUtf8().constData(),
                    placeholder.errorString().toUtf8().constData());
            continue;
        }
        QString why;
        const QByteArray key = dataFileKey(*job.record, &why);
        qint64 reported = 0;
        bool stopped = false;
        const auto step = [&](qint64 done) {
            const qint64 delta = qMax<qint64>(qMin(done, job.record->size) - reported, 0);
            reported += delta;
            stopped = progress && !progress->progress(double(delta) * perByte);
            return !stopped;
        };
        if (key.isEmpty() || !backupcrypto::decryptFile(job.source, copy, key, job.record->size, step, &why)) {
            if (stopped)
                return false;
            Log("iTunesBackup", 0, "Not decrypted: %s-%s: %s", job.record->domain.toUtf8().constData(),
                job.record->relativePath.toUtf8().constData(), why.toUtf8().constData());
            if (skipped)
                *skipped << QStringLiteral("%1 not decrypted: %2").arg(job.record->relativePath, why);
            continue;
        }
        if (!why.isEmpty()) {
            Log("iTunesBackup", 0, "Decrypted in part: %s-%s: %s", job.record->domain.toUtf8().constData(),
                job.record->relativePath.toUtf8().constData(), why.toUtf8().constData());
            if (skipped)
                *skipped << QStringLiteral("%1 read in part: %2").arg(job.record->relativePath, why);
        }
        if (progress && !progress->progress(double(qMax<qint64>(job.record->size, 1) - reported) * perByte))
            return false;
        ++decrypted;
    }
    Log("iTunesBackup", 1, "%d files decrypted, %d listed only", decrypted, int(jobs.size()) - decrypted);
    return true;
}

void CiTunesBackupPrivate::keepDecrypted(const QString& folder, const QString& keep, QStringList* skipped) const
{
    const QDir backup(m_path);
    const QDir target(QFileInfo(keep).absoluteFilePath());
    for (const CManifestRecord* r : m_files) {
        if (!r || !isRegularFile(*r) || useOf(*r) != Use::Content)
            continue;
        const QString copy = QDir(folder).filePath(backup.relativeFilePath(backupDataFile(m_path, r->hashName, m_fileSuffix)));
        if (!QFileInfo(copy).isFile())
            continue;
        // The device's path names the copy; one that climbs out of the folder is not followed.
        const QString to = QDir::cleanPath(target.filePath(r->domain + QLatin1Char('/') + r->relativePath));
        if (r->domain.contains(QLatin1Char('/')) || !to.startsWith(QDir::cleanPath(target.absolutePath()) + QLatin1Char('/'))
            || !isSameOrInside(to, keep)) {
            if (skipped)
                *skipped << QStringLiteral("%1-%2: not kept, its path leads out of %3").arg(r->domain, r->relativePath, keep);
            continue;
        }
        std::string why;
        if (!QDir().mkpath(QFileInfo(to).path())
            || !ibrio::copyFile(QFile::encodeName(copy).toStdString(), QFile::encodeName(to).toStdString(), &why)) {
            if (skipped)
                *skipped << QStringLiteral("%1 not kept: %2").arg(to, why.empty() ? QStringLiteral("no folder for it") : QString::fromStdString(why));
        }
    }
}
