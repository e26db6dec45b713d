#pragma once

#include <initializer_list>

#include <QList>
#include <QString>
#include <QStringList>

#include "evidencedb/EvidenceDatabase.h"

class CIProgressCallback;
class CManifestRecord;

// One category's collector. The driver sets the progress callback, then calls collect() once
// with the backup folder, its file index and the suffix of its data files.
class CIDataCollection
{
public:
    virtual ~CIDataCollection() = default;
    virtual void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                         const QString& fileSuffix) = 0;

    void setProgress(CIProgressCallback* progress) { m_pProgress = progress; }
    // What collect() found but could not read, one line each: the run reports it as skipped.
    const QStringList& problems() const { return m_problems; }
    // The index the backup lists its files in, and the folder they belong in (the read folder may
    // hold decrypted copies only): databaseFile names a database the index lists but the folder
    // lacks as a problem of `category`. Unset: nothing is checked.
    void setIndex(const QList<CManifestRecord*>* files, const QString& folder, const QString& category);
    // When SQLite met damage on this thread since `damageBefore` (evidencedb::damageSeen()), names
    // each database collect() read that is damaged in problems(): its queries ended at the damage.
    void reportDamage(uint64_t damageBefore);
    // Names the databases whose layout none of the statements fitted: their items are not read.
    void reportUnfitted();

    // Whether `path` opens as a database holding one of `tables`; when not, one line naming
    // relativePath goes to `problems`: the statements would otherwise fail one by one.
    static bool readableDatabase(const QString& path, const QString& category, const QString& relativePath,
                                 std::initializer_list<const char*> tables, QStringList* problems);

protected:
    // The file to read for the device database domain/relativePath: its data file, or a private
    // copy with the newest rows applied and a transaction never committed rolled back when the
    // backup holds a non-empty -wal or -journal for it; what of those could not be applied is
    // named in problems(). Empty when the data file does not exist; then, with `missing` Report,
    // a file the index lists is named in problems(). Collectors read every database through this.
    enum Missing { Report, Quiet };
    QString databaseFile(const QString& backupDir, const QString& domain, const QString& relativePath,
                         const QString& fileSuffix, Missing missing = Report);

    bool readableDatabase(const QString& path, const QString& category, const QString& relativePath,
                          std::initializer_list<const char*> tables);

    // Files of the category the index lists but the backup's folder lacks: counted, and named
    // in one line of problems() by reportMissingFiles().
    void noteMissingFile(const CManifestRecord& record, const QString& fileSuffix);
    // The same for domain/relativePath, when the index lists it.
    void noteMissingFile(const QString& domain, const QString& relativePath, const QString& fileSuffix);
    void reportMissingFiles();
    // A data file that is there but cannot be read (its permissions): named with the missing ones.
    void noteUnreadableFile(const QString& relativePath);

    CIProgressCallback* m_pProgress = nullptr; // not owned
    QStringList m_problems;

private:
    // The index's record of the regular file domain/relativePath; null when it lists none.
    const CManifestRecord* listedFile(const QString& domain, const QString& relativePath) const;

    const QList<CManifestRecord*>* m_index = nullptr;
    QString m_indexFolder;
    QString m_category;
    int m_missingFiles = 0;
    int m_unreadableFiles = 0;
    QStringList m_unreadableNames; // the first few
    QStringList m_missingNames; // the first few
    QList<QPair<QString, QString>> m_read; // databases handed out: the file read, its device path
    evidencedb::LiveCopies m_liveCopies; // removed with the collector
};
