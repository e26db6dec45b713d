#pragma once

#include <QDir>
#include <QString>

// Name of a data file in the backup folder (without suffix): lowercase hex SHA-1 of the UTF-8
// bytes of domain + "-" + relativePath.
QString backupFileName(const QString& domain, const QString& relativePath);

// Copies one data file out of the backup under the last component of relativePath; fails rather
// than overwrite an existing target.
bool copyBackupFile(const QString& relativePath, const QDir& source, const QDir& target, const QString& domain,
                    const QString& fileSuffix);
