#pragma once

#include <QDir>
#include <QString>

// Name of a data file in the backup folder (without suffix): lowercase hex SHA-1 of the UTF-8
// bytes of domain + "-" + relativePath.
QString backupFileName(const QString& domain, const QString& relativePath);

// Where the backup keeps the data file named `hashName`: flat in the folder (iOS 9 and before),
// or in the sub-folder named by the name's first two digits (iOS 10 on). When neither exists,
// the flat path, so that a log line names what was looked for. Everything that opens a data
// file finds it through these.
QString backupDataFile(const QString& backupDir, const QString& hashName, const QString& fileSuffix);
QString backupDataFile(const QString& backupDir, const QString& domain, const QString& relativePath,
                       const QString& fileSuffix);

