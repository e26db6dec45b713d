#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include "CategoryRun.h"
#include "CiPhoneBackup.h"
#include "device/CDevice.h"
#include "kddata/KdBackup.h"
#include "cli.h"
#include "export.h"
#include "workfolder.h"

namespace {

const char kDeviceUsage[] =
    "device SOURCE --out DIR [--image RAW] [--format json,csv,html] [--categories LIST] [--export-files] [--json]";

// A device's file-system copy (a folder, or a tar, tar.gz or zip archive of it) read like a
// backup; the copied databases and media, and what was carved from the raw image, stay in
// DIR/device-copy for the items to name.
int runDevice(QStringList args)
{
    const bool jsonSummary = cli::takeFlag(args, QStringLiteral("--json"));
    QString image;
    bool missing = false;
    cli::takeOption(args, QStringLiteral("--image"), &image, &missing);
    ExportOptions options;
    QString problem;
    if (!takeExportOptions(args, options, &problem) || missing)
        return cli::usageError(kDeviceUsage, missing ? QStringLiteral("an option is missing its value") : problem);
    if (cli::rejectUnknownOptions(args, kDeviceUsage))
        return cli::Usage;
    if (args.size() != 1 || options.outDir.isEmpty())
        return cli::usageError(kDeviceUsage);
    const QString source = args.first();
    for (const QString& evidence : {source, image}) {
        if (!evidence.isEmpty() && cli::isInside(options.outDir, evidence)) {
            cli::printError(QStringLiteral("the output folder may not lie inside %1").arg(cli::terminalText(evidence)));
            return cli::Usage;
        }
        // Category folders and the report are made in the output folder: one of them could be the copy.
        if (!evidence.isEmpty() && cli::isInside(evidence, options.outDir)) {
            cli::printError(QStringLiteral("%1 may not lie inside the output folder, which is written to").arg(cli::terminalText(evidence)));
            return cli::Usage;
        }
    }
    if (!image.isEmpty() && !QFileInfo(image).isFile()) {
        // A pipe or a device file could be read for ever; a folder is no image.
        cli::printError(QFileInfo::exists(image)
                            ? QStringLiteral("%1 is not a regular file: give a raw image file").arg(cli::terminalText(image))
                            : QStringLiteral("%1: no such image file").arg(cli::terminalText(image)));
        return cli::NotABackup;
    }
    cli::WorkFolder work; // an archive's unpacked part
    if (!work.isValid()) {
        cli::printError(work.error());
        return cli::Failure;
    }
    QString why;
    const std::unique_ptr<CDevice> device = CDevice::open(source, work.path(), &why);
    if (!device) {
        cli::printError(cli::terminalText(why));
        return QFileInfo::exists(source) ? cli::Unreadable : cli::NotABackup;
    }
    device->setImage(image);
    const QString copies = QDir(options.outDir).filePath(QStringLiteral("device-copy"));
    if (QFileInfo(copies).isSymLink()) {
        cli::printError(QStringLiteral("%1 is a link; not written through").arg(cli::terminalText(copies)));
        return cli::Failure;
    }
    // Found out before the extraction, not after it.
    if (!makeOutputFolder(options.outDir, &why)) {
        cli::printError(cli::terminalText(why));
        return cli::Failure;
    }
    useNaturalCollation();
    CiPhoneBackup reader(device.get(), copies);
    KdBackup model;
    QStringList skipped = device->problems();
    bool completed = false;
    reader.collectInfos(&model);
    {
        cli::TerminalProgress progress(QStringLiteral("Extracting"));
        // Deleted records are searched for the selected categories only.
        const CategorySelection selection(options.categories);
        completed = reader.collectDatas(&model, &progress, &skipped);
    }
    if (!completed)
        skipped << QStringLiteral("the rest of the extraction: stopped");
    options.stopped = !completed;
    QStringList written, errors;
    const bool ok = writeExport(&model, options, &written, &errors);
    if (completed && cli::interrupted()) {
        completed = false;
        skipped << QStringLiteral("the rest of the output: stopped by a signal");
    }
    QJsonObject summary = summarizeExtraction(&model, options.categories);
    summary.insert(QStringLiteral("completed"), completed);
    if (options.stopped)
        markIncomplete(&summary);
    summary.insert(QStringLiteral("files"), QJsonArray::fromStringList(written));
    summary.insert(QStringLiteral("skipped"), QJsonArray::fromStringList(skipped));
    summary.insert(QStringLiteral("errors"), QJsonArray::fromStringList(errors));
    summary.insert(QStringLiteral("copies"), QDir(copies).absolutePath());
    if (jsonSummary)
        cli::printJson(summary);
    else
        printExtractionSummary(summary);
    const int skippedCode = cli::reportSkipped(skipped);
    for (const QString& e : errors)
        cli::printError(e);
    if (!ok)
        return cli::Failure;
    return completed ? skippedCode : (cli::interrupted() ? cli::cancelledExitCode() : cli::Failure);
}

QStringList deviceEvidence(QStringList args)
{
    return cli::evidenceArguments(args, {QStringLiteral("--out"), QStringLiteral("--format"), QStringLiteral("--categories")},
                                  {QStringLiteral("--image")});
}

const cli::Registrar deviceCommand{{"device", kDeviceUsage,
                                    "extract every category from a device's file-system copy, carving deleted media from its raw image",
                                    &runDevice, &deviceEvidence, true}};

} // namespace
