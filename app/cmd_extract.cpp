#include "kddata/KdData.h"
#include "cli.h"
#include "export.h"

namespace {

const char kExtractUsage[] =
    "extract BACKUP --out DIR [--format json,csv] [--categories LIST] [--export-files] [--no-deleted] [--json]\n"
    "          [--password-file FILE] [--keep-decrypted DIR]";

int runExtract(QStringList args)
{
    const bool jsonSummary = cli::takeFlag(args, QStringLiteral("--json"));
    const bool noDeleted = cli::takeFlag(args, QStringLiteral("--no-deleted"));
    const bool exportFiles = cli::takeFlag(args, QStringLiteral("--export-files"));
    QString out, format, categories, passwordFile, keepDecrypted;
    bool missing = false;
    cli::takeOption(args, QStringLiteral("--password-file"), &passwordFile, &missing);
    cli::takeOption(args, QStringLiteral("--keep-decrypted"), &keepDecrypted, &missing);
    cli::takeOption(args, QStringLiteral("--out"), &out, &missing);
    cli::takeOption(args, QStringLiteral("--format"), &format, &missing);
    cli::takeOption(args, QStringLiteral("--categories"), &categories, &missing);
    if (missing)
        return cli::usageError(kExtractUsage, QStringLiteral("an option is missing its value"));
    if (cli::rejectUnknownOptions(args, kExtractUsage))
        return cli::Usage;
    if (args.size() != 1 || out.isEmpty())
        return cli::usageError(kExtractUsage);

    ExportOptions options;
    options.outDir = out;
    options.exportFiles = exportFiles;
    options.passwordFile = passwordFile;
    options.keepDecrypted = keepDecrypted;
    if (!format.isEmpty()) {
        options.json = options.csv = false;
        for (const QString& f : format.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (f == QLatin1String("json"))
                options.json = true;
            else if (f == QLatin1String("csv"))
                options.csv = true;
            else
                return cli::usageError(kExtractUsage, QStringLiteral("unknown format %1 (json, csv)").arg(f));
        }
    }
    for (const QString& name : categories.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int category = KdData::categoryFromName(name.trimmed());
        if (category < 0)
            return cli::usageError(kExtractUsage, QStringLiteral("unknown category %1 (%2)")
                                                      .arg(name, categoryNames().join(QLatin1String(", "))));
        options.categories << category;
    }

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
    {"extract", kExtractUsage, "extract every category of a backup into JSON/CSV files", &runExtract, &extractEvidence, true}};

} // namespace
