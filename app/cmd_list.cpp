// `ibreader list`: every backup under the backup root, newest first.

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

#include "AppDataFolder.h"
#include "CiTunesBackup.h"
#include "CiTunesBackupManager.h"
#include "cli.h"
#include "info.h"

namespace {

const char* const kUsage = "list [--root DIR] [--json]";

// A device type list requested during the listing gets this long to arrive, so the next run can
// show the downloaded names; then the download is stopped.
constexpr unsigned long kDownloadWaitMs = 10000;

struct Row {
    const CiTunesBackup* backup;
    QString marketingName;
};

QJsonObject toJson(const Row& r)
{
    QJsonObject o = backupInfoJson(*r.backup);
    o.insert(QStringLiteral("marketingName"), r.marketingName);
    o.insert(QStringLiteral("path"), r.backup->path());
    return o;
}

void printTable(const QList<Row>& rows)
{
    const QStringList header = {QStringLiteral("DEVICE"),  QStringLiteral("MODEL"),     QStringLiteral("IDENTIFIER"),
                                QStringLiteral("SERIAL"),  QStringLiteral("IOS"),       QStringLiteral("LAST BACKUP (UTC)"),
                                QStringLiteral("ENCRYPTED"), QStringLiteral("FOLDER")};
    QList<QStringList> cells{header};
    for (const Row& r : rows) {
        const CiTunesBackup* b = r.backup;
        cells.append({cli::terminalText(b->deviceName()), cli::terminalText(r.marketingName),
                      cli::terminalText(b->deviceType()), cli::terminalText(b->serialNumber()),
                      cli::terminalText(b->productVersion()),
                      b->backupDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm")),
                      b->isEncrypted() ? QStringLiteral("yes") : QStringLiteral("no"), cli::terminalText(b->path())});
    }
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList& line : cells)
        for (qsizetype i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line[i].size());
    for (const QStringList& line : cells) {
        QString text;
        for (qsizetype i = 0; i < line.size(); ++i)
            text += i + 1 < line.size() ? line[i].leftJustified(widths[i] + 2) : line[i];
        cli::printLine(text);
    }
}

int runList(QStringList args)
{
    QString root;
    bool missingRoot = false;
    const bool hasRoot = cli::takeOption(args, QStringLiteral("--root"), &root, &missingRoot);
    if (missingRoot)
        return cli::usageError(kUsage, QStringLiteral("--root needs a folder"));
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    if (cli::rejectUnknownOptions(args, kUsage))
        return cli::Usage;
    if (!args.isEmpty())
        return cli::usageError(kUsage, QStringLiteral("unexpected argument %1").arg(args.first()));

    if (hasRoot && !QFileInfo(root).isDir()) {
        cli::printError(QStringLiteral("%1 is not a folder").arg(root));
        return cli::Failure;
    }
    if (!hasRoot && !defaultBackupRoot(&root)) {
        cli::printError(QStringLiteral("cannot determine the application-data folder; use --root DIR"));
        return cli::Failure;
    }

    CiTunesBackupManager* manager = CiTunesBackupManager::getInstance();
    manager->searchBackups(root);

    QList<Row> rows;
    for (unsigned int i = 0; i < manager->numberOfBackups(); ++i) {
        const CiTunesBackup* b = manager->backupByIndex(i);
        rows.append({b, manager->deviceTypeName(b->deviceType())});
    }

    if (json) {
        QJsonArray array;
        for (const Row& r : rows)
            array.append(toJson(r));
        cli::printJson(array);
    } else if (rows.isEmpty()) {
        std::fprintf(stderr, "no backups under %s\n", root.toUtf8().constData());
    } else {
        printTable(rows);
    }
    std::fflush(stdout);

    const QStringList unreadable = manager->unreadableBackups();
    CiTunesBackupManager::waitForDeviceTypeDownload(kDownloadWaitMs);
    CiTunesBackupManager::releaseInstance();
    return cli::reportSkipped(unreadable);
}

QStringList listEvidence(QStringList args)
{
    QStringList roots = cli::evidenceArguments(args, {}, {QStringLiteral("--root")});
    QString root;
    if (roots.isEmpty() && defaultBackupRoot(&root))
        roots << root;
    return roots;
}

cli::Registrar reg{{"list", kUsage, "list the backups under the backup root, newest first", &runList, &listEvidence, false}};

} // namespace
