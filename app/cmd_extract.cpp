#include "kddata/KdData.h"
#include "cli.h"
#include "export.h"

namespace {

const char kExtractUsage[] =
    "extract BACKUP --out DIR [--format json,csv,html] [--categories LIST] [--export-files] [--no-deleted] [--json] "
    "[--password-file FILE] [--keep-decrypted DIR]";

int runExtract(QStringList args)
{
    const bool jsonSummary = cli::takeFlag(args, QStringLiteral("--json"));
    const bool noDeleted = cli::takeFlag(args, QStringLiteral("--no-deleted"));
    QString passwordFile, keepDecrypted;
    bool missing = false;
    cli::takeOption(args, QStringLiteral("--password-file"), &passwordFile, &missing);
    cli::takeOption(args, QStringLiteral("--keep-decrypted"), &keepDecrypted, &missing);
    ExportOptions options;
    QString problem;
    if (!takeExportOptions(args, options, &problem) || missing)
        return cli::usageError(kExtractUsage, missing ? QStringLiteral("an option is missing its value") : problem);
    if (cli::rejectUnknownOptions(args, kExtractUsage))
        return cli::Usage;
    if (args.size() != 1 || options.outDir.isEmpty())
        return cli::usageError(kExtractUsage);
    options.passwordFile = passwordFile;
    options.keepDecrypted = keepDecrypted;

    QJsonObject summary;
    const int code = runExtraction(args.first(), options, !noDeleted, &summary);
    if (summary.isEmpty())
        return code;
    if (jsonSummary)
        cli::printJson(summary);
    else
        printExtractionSummary(summary);
    return code;
}

QStringList extractEvidence(QStringList args)
{
    return cli::evidenceArguments(args, {QStringLiteral("--out"), QStringLiteral("--format"), QStringLiteral("--categories"),
                                         QStringLiteral("--password-file"), QStringLiteral("--keep-decrypted")});
}

const cli::Registrar extractCommand{
    {"extract", kExtractUsage, "extract every category of a backup into JSON files (CSV and an HTML report on request)", &runExtract, &extractEvidence, true}};

} // namespace
