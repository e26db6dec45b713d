#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include "device/CAccessFile.h"
#include "device/CDevice.h"
#include "ibreader_export.h"

class CIProgressCallback;
class KdBackup;
class KdData;
class CManifestRecord;

// One file copied from the device (or carved from its image).
class CiPhoneFileInfo
{
public:
    QString path;          // the local copy
    bool isDeleted = false; // carved rather than copied
    QString devicePath;    // where the device keeps it; empty for files listed from a local folder
};

// Extraction from a device's own file system: the category databases and media folders are
// copied into the temporary folder ("sqlite_dbs", "medias"), read by the same readers as a
// backup's, searched for deleted records, and deleted media are carved from the device's raw
// image into "deleted".
class IBREADER_EXPORT CiPhoneBackup : public CAccessFile, public CDownloadProgress
{
public:
    CiPhoneBackup(CDevice* device, const QString& tmpPath);
    ~CiPhoneBackup() override;
    // A copy has file records of its own and no buffer: neither frees what the other holds.
    CiPhoneBackup(const CiPhoneBackup& other);
    CiPhoneBackup& operator=(const CiPhoneBackup& other);

    void collectInfos(KdBackup* backup) const;
    // The whole extraction; false when the temporary folder could not be prepared or the
    // progress callback stopped it. What could not be done is appended to `skipped`.
    bool collectDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped = nullptr);

    bool searchDeleted(const QString& deviceDir) override;
    bool stepIntoDir(const QString& deviceDir) override;
    bool handleFile(const QString& devicePath, const QString& localDir) override;
    void cannotRead(const QString& devicePath) override;
    bool downloaded(qint64 bytes) override;
    void allSize(qint64 total) override;

    // Lists a local folder tree as copied files, so the listing steps can run without a device.
    void buildTestFileInfos(const QString& dir);
    const QList<CiPhoneFileInfo*>& fileInfos() const { return m_fileInfos; }
    QString tmpPath() const { return m_tmpPath; }
    // The media listing and carving steps on their own (the tests run them over local trees).
    bool collectFileDatas(KdBackup* backup, CIProgressCallback* progress);
    // Carved files that are not listed are named in `skipped`, with why.
    void scanDeletedFiles(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped = nullptr);

private:
    bool downloadDbFiles(CIProgressCallback* progress);
    bool downloadMediaFiles2(const char** deviceDirs, int count, CIProgressCallback* progress);
    bool downloadMediaFiles(CIProgressCallback* progress);
    bool downloadGroupContainers(CIProgressCallback* progress);
    bool collectDbDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped);
    bool runReaders(KdBackup* backup, CIProgressCallback* progress, const QStringList& categories, QStringList* skipped);
    bool findDbFile(const QString& name, QString& path) const;
    void clearFileInfos();
    // The copies as a backup's index and data files (hard links under "view"), for the readers.
    void extendView();
    bool recoveryDeleted(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped);

    CDevice* m_pDevice; // not owned
    QString m_tmpPath;
    bool m_searchDeleted = false;
    bool m_recursive = false;
    QList<CiPhoneFileInfo*> m_fileInfos; // owned
    QStringList m_unreadable; // device paths the copy would not give up
    qint64 m_totalSize = 0;
    CIProgressCallback* m_pProgress = nullptr;
    QHash<QString, QString> m_groups;       // group container folder on the device -> its identifier
    QList<CManifestRecord*> m_viewRecords; // owned
    QHash<QString, QString> m_viewCopies;   // data file name in "view" -> the copy it stands for
    int m_viewed = 0;                       // file records already in the view
};

// Lists copied media files of one folder as items of a category.
class CiPhoneFileCollection
{
public:
    CiPhoneFileCollection(KdData* data, const QString& pathPrefix, const QStringList& suffixes);
    virtual ~CiPhoneFileCollection() = default;
    void setProgress(CIProgressCallback* progress) { m_pProgress = progress; }
    virtual void collect(const QList<CiPhoneFileInfo*>& files);
    virtual bool collectFile(const CiPhoneFileInfo* file);

private:
    CIProgressCallback* m_pProgress = nullptr;
    QString m_pathPrefix;
    QStringList m_suffixes;
    KdData* m_pData;
};

// Maps the carving's byte counts onto the progress share of the carving step.
class DeleteProgressCallback : public CDownloadProgress
{
public:
    explicit DeleteProgressCallback(CIProgressCallback* progress) : m_pProgress(progress) {}
    bool downloaded(qint64 bytes) override;
    void allSize(qint64 total) override { m_total = total; }

private:
    qint64 m_total = 0;
    CIProgressCallback* m_pProgress;
};

// The category a carved file belongs to, by its device folder ("/DCIM/", "/Recordings/", ...); null
// when no category holds that folder.
KdData* carvedFileCategory(KdBackup* backup, const QString& devicePath);
// Whether a carved file is what its name says: pictures must decode, or where they are not decoded
// (a PNG cut short, a kind with no image plugin) their header must hold together; other media must
// begin with their format's signature. *why says what it is not.
bool carvedFilePlausible(const QString& path, QString* why = nullptr);
