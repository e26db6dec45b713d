#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

#include "CiPhoneBackup.h"
#include "CiTunesBackup.h"
#include "device/CDevice.h"
#include "kddata/KdBackup.h"
#include "SampleBackup.h"
#include "mediaimage.h"
#include "export.h"
#include "cli.h"
#include "info.h"

namespace {

const char kDemoUsage[] = "demo [--out DIR] [--ios N] [--scale N] [--encrypted | --device] [--json]";
// The sample's password when it is encrypted; printed, so the sample can be tried with extract.
const char kDemoPassword[] = "demo-password";

// The sample as a device's file-system copy, read the way `device` reads one.
int runDeviceDemo(const QString& folder, const sample::DemoOptions& options, bool json)
{
    QString error;
    const QString root = QDir(folder).filePath(QStringLiteral("device"));
    if (!sample::writeDemoDevice(root, options, &error)) {
        cli::printError(QStringLiteral("cannot write the sample device: %1").arg(error));
        return cli::Failure;
    }
    // A raw image of its data partition, with deleted pictures, videos and recordings in it.
    const QString image = QDir(folder).filePath(QStringLiteral("data.img"));
    QList<sample::PlantedMedia> planted;
    if (!sample::writeMediaImage(image, 16 << 20, 2016, &planted, &error)) {
        cli::printError(QStringLiteral("cannot write the sample image: %1").arg(error));
        return cli::Failure;
    }
    if (!json)
        std::printf("Sample device copy written to %s, a raw image of it to %s\n\n", QDir::toNativeSeparators(root).toUtf8().constData(),
                    QDir::toNativeSeparators(image).toUtf8().constData());
    const std::unique_ptr<CDevice> device = CDevice::open(root, folder, &error);
    if (!device) {
        cli::printError(QStringLiteral("the sample device could not be read back: %1").arg(error));
        return cli::Failure;
    }
    device->setImage(image);
    useNaturalCollation();
    CiPhoneBackup reader(device.get(), QDir(folder).filePath(QStringLiteral("device-copy")));
    KdBackup model;
    QStringList skipped;
    bool completed = false;
    reader.collectInfos(&model);
    {
        cli::TerminalProgress progress(QStringLiteral("Extracting"));
        completed = reader.collectDatas(&model, &progress, &skipped);
    }
    QJsonObject summary = summarizeExtraction(&model);
    summary.insert(QStringLiteral("completed"), completed);
    if (json)
        cli::printJson(summary);
    else
        printExtractionSummary(summary);
    const int skippedCode = cli::reportSkipped(skipped);
    return completed ? skippedCode : cli::cancelledExitCode();
}

// Writes a sample backup and reads it back the way a user's backup is read.
int runDemo(QStringList args)
{
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    const bool encrypted = cli::takeFlag(args, QStringLiteral("--encrypted"));
    const bool asDevice = cli::takeFlag(args, QStringLiteral("--device"));
    QString out, ios, scale;
    cli::takeOption(args, QStringLiteral("--out"), &out);
    cli::takeOption(args, QStringLiteral("--ios"), &ios);
    cli::takeOption(args, QStringLiteral("--scale"), &scale);
    if (cli::rejectUnknownOptions(args, kDemoUsage))
        return cli::Usage;
    if (!args.isEmpty())
        return cli::usageError(kDemoUsage);
    if (encrypted && asDevice)
        return cli::usageError(kDemoUsage, QStringLiteral("--encrypted and --device cannot be combined: a device's copy is not encrypted"));

    QTemporaryDir tmp;
    QString folder = out;
    if (folder.isEmpty()) {
        if (!tmp.isValid()) {
            cli::printError(QStringLiteral("cannot create a temporary folder"));
            return cli::Failure;
        }
        folder = tmp.filePath(QStringLiteral("demo-backup"));
    } else if (QDir(folder).exists() && !QDir(folder).isEmpty()) {
        cli::printError(QStringLiteral("%1 exists and is not empty").arg(folder));
        return cli::Failure;
    }
    sample::DemoOptions options;
    if (!ios.isEmpty()) {
        bool ok = false;
        options.iosMajor = ios.toInt(&ok);
        if (!ok || options.iosMajor < 5 || options.iosMajor > 18)
            return cli::usageError(kDemoUsage, QStringLiteral("--ios takes a major version from 5 to 18"));
    }
    if (!scale.isEmpty()) {
        // A bigger sample for trying the speed: N times the rows of every category.
        bool ok = false;
        options.scale = scale.toInt(&ok);
        if (!ok || options.scale < 1 || options.scale > 100000)
            return cli::usageError(kDemoUsage, QStringLiteral("--scale takes a number from 1 to 100000"));
    }
    if (asDevice)
        return runDeviceDemo(folder, options, json);
    if (encrypted)
        options.password = kDemoPassword; // with the few rounds of the tests: a demo is not a safe
    QString error;
    if (!sample::writeDemoBackup(folder, options, &error)) {
        cli::printError(QStringLiteral("cannot write the sample backup: %1").arg(error));
        return cli::Failure;
    }
    if (!json)
        std::printf("Sample backup written to %s%s\n\n", QDir::toNativeSeparators(folder).toUtf8().constData(),
                    encrypted ? qPrintable(QStringLiteral(", encrypted with the password \"%1\"").arg(QLatin1String(kDemoPassword))) : "");
    CiTunesBackup backup(nullptr);
    QTemporaryDir indexFolder; // where an encrypted index is decrypted and read
    if (!backup.parseFromPath(folder)
        || (encrypted && backup.unlock(kDemoPassword, indexFolder.path()) != CiTunesBackup::Unlocked)) {
        cli::printError(QStringLiteral("the sample backup could not be read back"));
        return cli::Failure;
    }
    KdBackup model;
    bool completed = false;
    QStringList skipped;
    {
        cli::TerminalProgress progress(QStringLiteral("Extracting"));
        completed = extractBackup(backup, &model, &progress, true, &skipped);
    }
    QJsonObject summary = summarizeExtraction(&model);
    summary.insert(QStringLiteral("completed"), completed);
    if (json) {
        QJsonObject all;
        all.insert(QStringLiteral("backup"), backupInfoJson(backup));
        all.insert(QStringLiteral("extraction"), summary);
        cli::printJson(all);
    } else {
        printBackupInfo(backup, false);
        std::printf("\n");
        printExtractionSummary(summary);
    }
    const int skippedCode = cli::reportSkipped(skipped);
    return completed ? skippedCode : cli::cancelledExitCode();
}

const cli::Registrar demoCommand{{"demo", kDemoUsage, "write a sample backup (encrypted on request) and read it", &runDemo, nullptr, true}};

} // namespace
