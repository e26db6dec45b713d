#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

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
    void stageRecoveryDatabases(const QString& targetFolder, QStringList& copied, QStringList* skipped = nullptr) const;
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
    bool m_isEncrypted = false;
    QString m_problem; // first problem met while parsing, for the user
    int m_failure = 0; // CiTunesBackup::ParseFailure
    QList<CManifestRecord*> m_files; // owned
    QString m_fileSuffix;
    CiTunesBackupManager* m_pManager; // not owned
};

// Whether `path` is `folder` or lies below it, symbolic links resolved (also for paths that do
// not exist yet).
bool isSameOrInside(const QString& path, const QString& folder);
