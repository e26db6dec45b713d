#pragma once

#include <QDir>
#include <QString>

// Name of a data file in the backup folder (without suffix): lowercase hex SHA-1 of the UTF-8
// bytes of domain + "-" + relativePath.
QString backupFileName(const QString& domain, const QString& relativePath);

