#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <cstdio>

#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "cli.h"
#include "workfolder.h"
#include "info.h"

namespace {

// An encrypted index lists nothing until the password opens it: its count is not known.
bool fileCountUnknown(const CiTunesBackup& backup)
{
    return backup.isIndexLocked() && !backup.isUnlocked();
}

} // namespace

QJsonObject backupInfoJson(const CiTunesBackup& backup)
{
    QJsonObject o;
    o[QStringLiteral("deviceName")] = backup.deviceName();
    o[QStringLiteral("productType")] = backup.deviceType();
    o[QStringLiteral("modelName")] = backup.modelName();
    o[QStringLiteral("serialNumber")] = backup.serialNumber();
    o[QStringLiteral("productVersion")] = backup.productVersion();
    o[QStringLiteral("iTunesVersion")] = backup.iTunesVersion();
    o[QStringLiteral("lastBackupDate")] = backup.backupDateTime().toUTC().toString(Qt::ISODate);
    o[QStringLiteral("encrypted")] = backup.isEncrypted();
    o[QStringLiteral("fileSuffix")] = backup.fileSuffix();
    o[QStringLiteral("files")] = fileCountUnknown(backup) ? QJsonValue() : QJsonValue(backup.files().size());
    return o;
}

void printBackupInfo(const CiTunesBackup& backup, bool json)
{
    if (json) {
        cli::printJson(backupInfoJson(backup));
        return;
    }
    auto row = [](const char* label, const QString& value) {
        std::printf("%-16s %s\n", label, cli::terminalText(value).toUtf8().constData());
    };
    row("Device name:", backup.deviceName());
    row("Model:", backup.modelName() == backup.deviceType() || backup.modelName().isEmpty()
                      ? backup.deviceType()
                      : QStringLiteral("%1 (%2)").arg(backup.modelName(), backup.deviceType()));
    row("Serial number:", backup.serialNumber());
    row("iOS version:", backup.productVersion());
    row("iTunes version:", backup.iTunesVersion());
    row("Last backup:", backup.backupDateTime().toUTC().toString(Qt::ISODate));
    row("Encrypted:", backup.isEncrypted() ? QStringLiteral("yes") : QStringLiteral("no"));
    row("File suffix:", backup.fileSuffix().isEmpty() ? QStringLiteral("(none)") : backup.fileSuffix());
    row("Files:", fileCountUnknown(backup) ? QStringLiteral("unknown (encrypted)") : QString::number(backup.files().size()));
}

namespace {

const char kInfoUsage[] = "info FOLDER [--json]";
const char kFilesUsage[] = "files FOLDER [--domain D] [--json] [--password-file FILE]";

int runInfo(QStringList args)
{
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    if (cli::rejectUnknownOptions(args, kInfoUsage))
        return cli::Usage;
    if (args.size() != 1)
        return cli::usageError(kInfoUsage);
    CiTunesBackup backup(nullptr);
    QStringList skipped;
    const int opened = cli::openBackup(args.first(), backup, &skipped);
    if (opened != cli::Ok)
        return opened;
    // A locked index is no fault of the backup: the count says it is not known.
    if (backup.isIndexLocked())
        skipped.removeAll(backup.parseProblem());
    printBackupInfo(backup, json);
    return cli::reportSkipped(skipped);
}

int runFiles(QStringList args)
{
    QStringList skipped;
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    QString domain, passwordFile;
    bool missing = false;
    const bool byDomain = cli::takeOption(args, QStringLiteral("--domain"), &domain, &missing);
    cli::takeOption(args, QStringLiteral("--password-file"), &passwordFile, &missing);
    if (missing)
        return cli::usageError(kFilesUsage, QStringLiteral("an option is missing its value"));
    if (cli::rejectUnknownOptions(args, kFilesUsage))
        return cli::Usage;
    if (args.size() != 1)
        return cli::usageError(kFilesUsage);
    CiTunesBackup backup(nullptr);
    int opened = cli::openBackup(args.first(), backup, &skipped);
    if (opened != cli::Ok)
        return opened;
    // An encrypted index is listed once the password opens it; it is decrypted in a working
    // folder of the run's own and removed at once.
    if (backup.isIndexLocked()) {
        cli::WorkFolder work;
        if (!work.isValid()) {
            cli::printError(QStringLiteral("no working folder to decrypt the index in: %1").arg(work.error()));
            return cli::Failure;
        }
        skipped.removeAll(backup.parseProblem());
        const int unlocked = cli::unlockBackup(backup, passwordFile, work.path());
        if (unlocked != cli::Ok)
            return unlocked;
    }
    QJsonArray rows;
    for (const CManifestRecord* r : backup.files()) {
        if (byDomain && r->domain != domain)
            continue;
        if (json) {
            QJsonObject o;
            o[QStringLiteral("domain")] = r->domain;
            o[QStringLiteral("relativePath")] = r->relativePath;
            o[QStringLiteral("size")] = double(r->size);
            o[QStringLiteral("hashName")] = r->hashName;
            if (r->mode)
                o[QStringLiteral("mode")] = QStringLiteral("%1").arg(r->mode, 6, 8, QLatin1Char('0'));
            if (r->mtime > 0)
                o[QStringLiteral("modified")] = QDateTime::fromSecsSinceEpoch(r->mtime, Qt::UTC).toString(Qt::ISODate);
            if (r->protectionClass)
                o[QStringLiteral("protectionClass")] = r->protectionClass;
            rows.append(o);
        } else {
            // Names come from the evidence: escaped, they can neither forge rows nor drive the terminal.
            std::printf("%s\t%s\t%lld\t%s\n", cli::terminalText(r->domain).toUtf8().constData(),
                        cli::terminalText(r->relativePath).toUtf8().constData(), static_cast<long long>(r->size),
                        cli::terminalText(r->hashName).toUtf8().constData());
        }
    }
    if (json)
        cli::printJson(rows);
    return cli::reportSkipped(skipped);
}

QStringList infoEvidence(QStringList args)
{
    return cli::evidenceArguments(args, {QStringLiteral("--domain"), QStringLiteral("--password-file")});
}

const cli::Registrar infoCommand{{"info", kInfoUsage, "describe one backup folder", &runInfo, &infoEvidence, false}};
const cli::Registrar filesCommand{{"files", kFilesUsage, "list the backup's file index", &runFiles, &infoEvidence, true}};

} // namespace
