#pragma once

#include <QString>
#include <QtGlobal>

class CDevice;
class CDownloadProgress;

// Walks a device folder and copies files, asking its handler what to do.
class CAccessFile
{
public:
    virtual ~CAccessFile() = default;
    // Asked for each folder walked: whether deleted files may be searched for there.
    virtual bool searchDeleted(const QString& deviceDir);
    // Asked before the walk descends into a sub-folder.
    virtual bool stepIntoDir(const QString& deviceDir);
    // Called for each file; `localDir` is the local counterpart of the file's device folder.
    // False ends the walk.
    virtual bool handleFile(const QString& devicePath, const QString& localDir);
    // Told of a file or folder the walk would take but cannot read (its permissions).
    virtual void cannotRead(const QString& devicePath);

    // Walks `deviceDir` (in name order) with `handler`; false when the folder is not in the copy
    // or the handler ended the walk. Links are neither followed nor reported.
    static bool scanDir(CDevice* device, const QString& deviceDir, const QString& localDir, CAccessFile* handler);
    // Bytes of the regular files below the folder.
    static qint64 dirSize(CDevice* device, const QString& deviceDir);
    // Copies one file in chunks into a new file `localPath`, reporting each chunk; bytes copied,
    // 0 on failure or when `progress` asked to stop (the partial file is then removed).
    static qint64 downloadFile(CDevice* device, const QString& devicePath, const QString& localPath, CDownloadProgress* progress);
    static bool ensureFileDirExists(const QString& path);
};
