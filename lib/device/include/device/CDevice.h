#pragma once

// Access to a device's file system as people hold it after a full acquisition: a folder with the
// copy, or a tar (optionally gzip-compressed) or zip archive of it, and optionally a raw image of
// the data partition to carve deleted media from.

#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

struct _device_st; // a device handle; null means the device this object was opened on

class CDownloadProgress
{
public:
    virtual ~CDownloadProgress() = default;
    // `bytes` more were copied; false asks the copy to stop.
    virtual bool downloaded(qint64 bytes) = 0;
    virtual void allSize(qint64 total) = 0;
};

class CDevice
{
public:
    // Opens `source`. An archive is read once, in place: only the files under the folders the
    // extraction reads (and the property files that describe the device) are unpacked, into
    // `workDir`, which must be a private folder. Null with the reason on failure.
    static std::unique_ptr<CDevice> open(const QString& source, const QString& workDir, QString* why);
    ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    // From the copy's own property files; empty when the copy does not keep them.
    const QString deviceName(_device_st* device = nullptr) const;
    const QString deviceVer(_device_st* device = nullptr) const;
    const QString deviceSN(_device_st* device = nullptr) const;
    const QString deviceType(_device_st* device = nullptr) const;

    // The raw image that scanDeletedFile carves; none by default.
    void setImage(const QString& rawImage) { m_image = rawImage; }
    QString image() const { return m_image; }
    // Carves deleted files of `extensions` out of the raw image into `targetDir`, filling `found`
    // with local file -> the device path it is tied to. False without an image, or when stopped
    // or the image could not be read to its end (*why says where and why; `found` holds what
    // was carved before).
    bool scanDeletedFile(const QStringList& extensions, const QString& targetDir, QMap<QString, QString>& found,
                         CDownloadProgress* progress, QString* why = nullptr) const;

    // Where the copy keeps the device path ("/mnt2/mobile/Library/SMS/sms.db"); empty when it
    // does not. The only place device paths meet the copy's own layout.
    QString localPath(const QString& devicePath) const;
    // The device path of a path of the copy, "" when it lies outside what devices hold.
    static QString devicePathOf(const QString& copyRelative);
    // Whether the source was an archive (then unpacked in part into the working folder).
    bool isArchive() const { return m_archive; }
    QString source() const { return m_source; }
    // What could not be read of the source (an archive cut short, members refused), one line each.
    QStringList problems() const { return m_problems; }

private:
    CDevice() = default;
    bool readArchive(const QString& archive, const QString& workDir, QString* why);
    void readProperties();

    QString m_source;
    QString m_root;    // folder holding the copy (the archive's unpacked part)
    QString m_varRoot; // folder holding "mobile" and "wireless"
    bool m_archive = false;
    QString m_image;
    QString m_name, m_version, m_serial, m_type;
    QStringList m_problems;
};
