#include "CIDataCollection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "BackupFiles.h"
#include "CISQLiteQuery.h"
#include "CManifestRecord.h"
#include "utility/Log.h"

void CIDataCollection::setIndex(const QList<CManifestRecord*>* files, const QString& folder, const QString& category)
{
    m_index = files;
    m_indexFolder = folder;
    m_category = category;
}

namespace {

// Whether something other than a regular file (a folder, a pipe, a link) lies where the data
// file `hashName` belongs in `folder`, flat or under its two-letter folder.
bool irregularInPlace(const QString& folder, const QString& hashName, const QString& fileSuffix)
{
    const QDir dir(folder);
    for (const QString& at : {hashName + fileSuffix, hashName.left(2) + QLatin1Char('/') + hashName + fileSuffix}) {
        const QFileInfo there(dir.filePath(at));
        if (there.isSymLink() || (there.exists() && !there.isFile()))
            return true;
    }
    return false;
}

} // namespace

QString CIDataCollection::databaseFile(const QString& backupDir, const QString& domain, const QString& relativePath,
                                       const QString& fileSuffix, Missing missing)
{
    const QString data = backupDataFile(backupDir, domain, relativePath, fileSuffix);
    if (!QFileInfo(data).isFile()) {
        // A file the index lists is part of the backup: its absence loses the category's records.
        // One that is there but was not copied (not decrypted, say) has its line already.
        const QFileInfo inIndexFolder(backupDataFile(m_indexFolder, domain, relativePath, fileSuffix));
        const bool irregular = irregularInPlace(m_indexFolder, backupFileName(domain, relativePath), fileSuffix);
        if (missing == Report && m_index && !inIndexFolder.isFile() && irregular) {
            m_problems << QStringLiteral("%1: %2 is not a regular file in the backup folder (a folder, pipe or link), not read")
                              .arg(m_category, QFileInfo(relativePath).fileName());
        } else if (missing == Report && !inIndexFolder.isFile() && listedFile(domain, relativePath)) {
            Log("iTunesBackup", 0, "%s-%s is listed in the index but missing from %s", domain.toUtf8().constData(),
                relativePath.toUtf8().constData(), m_indexFolder.toUtf8().constData());
            m_problems << QStringLiteral("%1: %2 is listed in the backup's index but missing from the folder")
                              .arg(m_category, QFileInfo(relativePath).fileName());
        }
        return QString();
    }
    // The backup stores a database's companions as files of their own, indexed by their names.
    const QString wal = backupDataFile(backupDir, domain, relativePath + QStringLiteral("-wal"), fileSuffix);
    const QString journal = backupDataFile(backupDir, domain, relativePath + QStringLiteral("-journal"), fileSuffix);
    QStringList unapplied;
    const QString path = m_liveCopies.readablePath(data, wal, journal, &unapplied);
    for (const QString& why : std::as_const(unapplied)) {
        Log("iTunesBackup", 0, "%s: %s", relativePath.toUtf8().constData(), why.toUtf8().constData());
        m_problems << (m_category.isEmpty() ? QStringLiteral("%1: %2").arg(relativePath, why)
                                            : QStringLiteral("%1: %2: %3").arg(m_category, QFileInfo(relativePath).fileName(), why));
    }
    if (!path.isEmpty())
        m_read << qMakePair(path, relativePath);
    return path;
}

void CIDataCollection::noteMissingFile(const CManifestRecord& record, const QString& fileSuffix)
{
    // Checked in the backup's own folder: one listed there but not copied (not decrypted, say)
    // has its line already.
    if (!m_index || (record.mode != 0 && (record.mode & 0xF000) != 0x8000))
        return;
    if (QFileInfo(backupDataFile(m_indexFolder, record.hashName, fileSuffix)).isFile())
        return;
    // A pipe, a folder or a link in its place is there, just not read as the file.
    if (irregularInPlace(m_indexFolder, record.hashName, fileSuffix)) {
        noteUnreadableFile(record.relativePath);
        return;
    }
    if (m_missingNames.size() < 3)
        m_missingNames << QFileInfo(record.relativePath).fileName();
    ++m_missingFiles;
}

void CIDataCollection::noteMissingFile(const QString& domain, const QString& relativePath, const QString& fileSuffix)
{
    if (const CManifestRecord* r = listedFile(domain, relativePath))
        noteMissingFile(*r, fileSuffix);
}

const CManifestRecord* CIDataCollection::listedFile(const QString& domain, const QString& relativePath) const
{
    if (!m_index)
        return nullptr;
    for (const CManifestRecord* r : *m_index)
        if (r && r->domain == domain && r->relativePath == relativePath && (r->mode == 0 || (r->mode & 0xF000) == 0x8000))
            return r;
    return nullptr;
}

void CIDataCollection::noteUnreadableFile(const QString& relativePath)
{
    if (m_unreadableNames.size() < 3)
        m_unreadableNames << QFileInfo(relativePath).fileName();
    ++m_unreadableFiles;
}

void CIDataCollection::reportMissingFiles()
{
    if (m_unreadableFiles) {
        Log("iTunesBackup", 0, "%d files of %s cannot be read", m_unreadableFiles, m_category.toUtf8().constData());
        m_problems << QStringLiteral("%1: %2 file(s) in the backup folder cannot be read (%3%4)")
                          .arg(m_category)
                          .arg(m_unreadableFiles)
                          .arg(m_unreadableNames.join(QStringLiteral(", ")),
                               m_unreadableFiles > m_unreadableNames.size() ? QStringLiteral(", ...") : QString());
        m_unreadableFiles = 0;
        m_unreadableNames.clear();
    }
    if (!m_missingFiles)
        return;
    Log("iTunesBackup", 0, "%d files of %s are listed in the index but missing from %s", m_missingFiles,
        m_category.toUtf8().constData(), m_indexFolder.toUtf8().constData());
    m_problems << QStringLiteral("%1: %2 file(s) listed in the backup's index are missing from the folder (%3%4)")
                      .arg(m_category)
                      .arg(m_missingFiles)
                      .arg(m_missingNames.join(QStringLiteral(", ")), m_missingFiles > m_missingNames.size() ? QStringLiteral(", ...") : QString());
    m_missingFiles = 0;
    m_missingNames.clear();
}

void CIDataCollection::reportDamage(uint64_t damageBefore)
{
    if (evidencedb::damageSeen() == damageBefore)
        return;
    QStringList named;
    for (const auto& [path, relativePath] : m_read) {
        if (named.contains(path))
            continue;
        named << path;
        const QString damage = evidencedb::firstDamage(path);
        if (damage.isEmpty())
            continue;
        Log("iTunesBackup", 0, "%s (%s) is damaged: %s", relativePath.toUtf8().constData(), path.toUtf8().constData(),
            damage.toUtf8().constData());
        m_problems << QStringLiteral("%1: %2 is damaged (%3): what is stored past the damage is not read; "
                                     "recover-db reads every page of it")
                          .arg(m_category, QFileInfo(relativePath).fileName(), damage);
    }
}

void CIDataCollection::reportUnfitted()
{
    QStringList named;
    for (const CISQLiteQuery::Unfitted& u : CISQLiteQuery::takeUnfitted()) {
        QString name = QFileInfo(u.path).fileName();
        for (const auto& [path, relativePath] : m_read)
            if (path == u.path)
                name = QFileInfo(relativePath).fileName();
        if (named.contains(name))
            continue;
        named << name;
        Log("iTunesBackup", 0, "%s (%s): no statement fits its layout: %s", name.toUtf8().constData(), u.path.toUtf8().constData(),
            u.reason.toUtf8().constData());
        m_problems << QStringLiteral("%1: %2 is not laid out as its items are read (%3): those items are not read")
                          .arg(m_category, name, u.reason);
    }
}

bool CIDataCollection::readableDatabase(const QString& path, const QString& category, const QString& relativePath,
                                        std::initializer_list<const char*> tables)
{
    return readableDatabase(path, category, relativePath, tables, &m_problems);
}

bool CIDataCollection::readableDatabase(const QString& path, const QString& category, const QString& relativePath,
                                        std::initializer_list<const char*> tables, QStringList* problems)
{
    const QString name = QFileInfo(relativePath).fileName();
    // An empty file opens as an empty database, and one kept from us as no database at all:
    // either would be named for what it is not.
    if (QFileInfo(path).isFile() && QFileInfo(path).size() == 0) {
        Log("iTunesBackup", 0, "%s (%s) is empty", name.toUtf8().constData(), path.toUtf8().constData());
        if (problems)
            *problems << QStringLiteral("%1: %2 is empty (0 bytes)").arg(category, name);
        return false;
    }
    if (QFile file(path); QFileInfo(path).isFile() && !file.open(QIODevice::ReadOnly)) {
        Log("iTunesBackup", 0, "%s (%s) cannot be opened: %s", name.toUtf8().constData(), path.toUtf8().constData(),
            file.errorString().toUtf8().constData());
        if (problems)
            *problems << QStringLiteral("%1: %2 cannot be opened: %3").arg(category, name, file.errorString());
        return false;
    }
    evidencedb::Database db;
    if (!db.open(path, "iTunesBackup")) {
        if (problems)
            *problems << QStringLiteral("%1: %2 is not a database that can be read").arg(category, name);
        return false;
    }
    for (const char* table : tables)
        if (db.hasTable(table))
            return true;
    Log("iTunesBackup", 0, "%s (%s) holds none of the tables %s are read from", name.toUtf8().constData(),
        path.toUtf8().constData(), category.toUtf8().constData());
    if (problems)
        *problems << QStringLiteral("%1: %2 holds none of the tables %1 are kept in").arg(category, name);
    return false;
}
