#include "CIDataCollection.h"

#include <QDir>
#include <QFileInfo>

#include "BackupFiles.h"
#include "utility/Log.h"

QString CIDataCollection::databaseFile(const QString& backupDir, const QString& domain, const QString& relativePath,
                                       const QString& fileSuffix)
{
    const QDir dir(backupDir);
    const QString data = dir.absoluteFilePath(backupFileName(domain, relativePath) + fileSuffix);
    if (!QFileInfo(data).isFile())
        return QString();
    const QString wal = dir.absoluteFilePath(backupFileName(domain, relativePath + QStringLiteral("-wal")) + fileSuffix);
    QString why;
    const QString path = m_liveCopies.readablePath(data, wal, &why);
    if (!why.isEmpty()) {
        Log("iTunesBackup", 0, "Live rows of %s read without its WAL: %s", relativePath.toUtf8().constData(),
            why.toUtf8().constData());
        m_problems << QStringLiteral("%1: the rows only its -wal holds (%2)").arg(relativePath, why);
    }
    return path;
}
