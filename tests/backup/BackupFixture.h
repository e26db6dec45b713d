#pragma once

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "SampleBackup.h"

// A backup of one made-up device holding sms.db (unless withFile is false), written on demand.
struct TestBackup {
    QTemporaryDir tmp;
    QString folder = tmp.filePath(QStringLiteral("b"));
    sample::SampleBackupWriter w{folder};

    explicit TestBackup(sample::SampleBackupWriter::IndexKind kind = sample::SampleBackupWriter::IndexKind::Mbdb,
                        bool withFile = true)
    {
        w.setDevice(QStringLiteral("Anna's iPhone"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1.2"),
                    QDateTime(QDate(2015, 6, 1), QTime(12, 30, 15), Qt::UTC));
        w.indexKind = kind;
        if (withFile)
            w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "db");
    }
    bool write() { return w.write(); }
    QString file(const QString& name) const { return QDir(folder).filePath(name); }
    qint64 mbdbSize() const { return QFileInfo(file(QStringLiteral("Manifest.mbdb"))).size(); }
    // The log line naming the file of this backup that could not be parsed.
    std::string failLine(const char* what) const { return std::string("Fail to parse ") + what + " for: " + folder.toStdString(); }
};

inline sample::MbdbRecord mbdbRecord(const QByteArray& domain, const QByteArray& path)
{
    sample::MbdbRecord r;
    r.domain = domain;
    r.path = path;
    return r;
}
