#pragma once

// What the command-line tests share: a demo backup with room for the output beside it, runs of
// the extract command, and the JSON files it writes.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "SampleBackup.h"
#include "TestSupport.h"

namespace appsample {

inline testsupport::CliRun extract(const QString& backup, const QString& out, const QStringList& more = {},
                                   const QMap<QString, QString>& env = {})
{
    return testsupport::runCli(QStringList{QStringLiteral("extract"), backup, QStringLiteral("--out"), out} + more, env);
}

inline QJsonDocument json(const QString& path)
{
    return QJsonDocument::fromJson(testsupport::readFile(path));
}

// The demo backup of iOS `ios` in a folder of its own.
struct Demo {
    QTemporaryDir dir;
    QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    explicit Demo(int ios = 8)
    {
        sample::DemoOptions options;
        options.iosMajor = ios;
        EXPECT_TRUE(sample::writeDemoBackup(backup, options));
    }
    // Where the backup keeps domain/path: iOS 10 on in a sub-folder named by its first two digits.
    QString dataFile(const char* domain, const char* path) const
    {
        const QString name = sample::hashedName(QLatin1String(domain), QLatin1String(path));
        const QString flat = backup + QLatin1Char('/') + name;
        return QFileInfo::exists(flat) ? flat : backup + QLatin1Char('/') + name.left(2) + QLatin1Char('/') + name;
    }
};

} // namespace appsample
