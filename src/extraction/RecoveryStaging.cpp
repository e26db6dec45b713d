#include "CiTunesBackupPrivate.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "BackupFiles.h"
#include "kddata/CCommonUtils.h"
#include "utility/Log.h"

// Copies the category databases, with the companions that hold their newest and their older
// pages, into the working folder: the scans and SQLite only ever see these copies.
void CiTunesBackupPrivate::stageRecoveryDatabases(const QString& targetFolder, const QString& sourceRoot, QStringList& copied,
                                                  QStringList* skipped) const
{
    static const char* const kDatabases[][2] = {
        {"HomeDomain", "Library/Safari/Bookmarks.db"},
        {"HomeDomain", "Library/Safari/History.db"},
        {"HomeDomain", "Library/Calendar/Calendar.sqlitedb"},
        {"WirelessDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistoryDB/CallHistory.storedata"},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"},
        {"HomeDomain", "Library/AddressBook/AddressBook.db"},
        {"HomeDomain", "Library/Notes/notes.db"},
        {"HomeDomain", "Library/Notes/notes.sqlite"},
        {"AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite"},
        {"HomeDomain", "Library/SMS/sms.db"},
    };
    static const char* const kCompanions[] = {"-wal", "-shm", "-journal"};
    if (targetFolder.isEmpty())
        return;
    // The copies must never land inside the backup folder: it is evidence, written by no one.
    if (isSameOrInside(targetFolder, m_path)) {
        Log("iTunesBackup", 0, "Recovery folder %s lies inside the backup folder %s: nothing copied",
            targetFolder.toUtf8().constData(), m_path.toUtf8().constData());
        return;
    }
    const QDir target(targetFolder);
    // Copies one data file under the path's last component; false with the reason when the file
    // is there but could not be copied, true (and *present false) when the backup lacks it.
    auto copy = [&](const QString& domain, const QString& path, bool* present, QString* why) {
        const QString from = backupDataFile(sourceRoot, domain, path, m_fileSuffix);
        *present = QFileInfo::exists(from);
        return !*present || CCommonUtils::copyFile(from, target, path.section(QLatin1Char('/'), -1), why);
    };
    QList<QPair<QString, QString>> databases;
    for (const auto& entry : kDatabases)
        databases.append({QLatin1String(entry[0]), QLatin1String(entry[1])});
    // iOS 13 on: a reminders store per account, named after it.
    static const QRegularExpression kReminderStore(QStringLiteral("^Container_v1/Stores/Data-[^/]*\\.sqlite$"));
    for (const CManifestRecord* r : m_files)
        if (r && r->domain == QLatin1String("AppDomainGroup-group.com.apple.reminders") && kReminderStore.match(r->relativePath).hasMatch())
            databases.append({r->domain, r->relativePath});
    for (const auto& [domain, path] : databases) {
        const QString name = path.section(QLatin1Char('/'), -1);
        // The same name in two domains (call history): the first one found is scanned.
        if (copied.contains(target.absoluteFilePath(name)))
            continue;
        bool present = false;
        QString why;
        if (!copy(domain, path, &present, &why)) {
            Log("iTunesBackup", 1, "No working copy of %s: %s", path.toUtf8().constData(), why.toUtf8().constData());
            if (skipped)
                *skipped << QStringLiteral("deleted records in %1: no working copy (%2)").arg(name, why);
            continue;
        }
        if (!present)
            continue;
        for (const char* companion : kCompanions) {
            if (!copy(domain, path + QLatin1String(companion), &present, &why)) {
                Log("iTunesBackup", 1, "No working copy of %s%s: %s", path.toUtf8().constData(), companion,
                    why.toUtf8().constData());
                if (skipped)
                    *skipped << QStringLiteral("deleted records in %1%2: no working copy (%3)")
                                    .arg(name, QLatin1String(companion), why);
            }
        }
        copied.append(target.absoluteFilePath(name));
    }
}

