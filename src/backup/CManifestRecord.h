#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// One named property of a file record (extended attributes kept by the backup).
class CManifestProperty
{
public:
    QString name;
    QByteArray value;
};

// One entry of a backup's file index.
class CManifestRecord
{
public:
    CManifestRecord() = default;
    CManifestRecord(const CManifestRecord&) = delete;
    CManifestRecord& operator=(const CManifestRecord&) = delete;
    ~CManifestRecord() { qDeleteAll(properties); }

    QString hashName;     // data file name in the backup folder, without suffix
    QString domain;       // "HomeDomain", "MediaDomain", ...
    QString relativePath; // path on the device relative to the domain
    qint64 size = 0;
    qint64 mtime = 0;     // modification time on the device, Unix seconds; 0 when unknown
    quint16 mode = 0;     // type and permission bits; 0 when the index keeps none
    int protectionClass = 0; // data protection class of the file on the device; 0 when unknown
    // Encrypted backups: the file's key as the index keeps it (class, then the wrapped key).
    QByteArray encryptionKey;
    quint8 propertyCount = 0; // read unsigned so counts of 128 and more keep the records aligned
    QList<CManifestProperty*> properties; // owned
};
