#pragma once

// Extraction of a backup into the item model and its export, one file per category. Columns
// come from each container's model headers, so every category is written the same way.

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class CIProgressCallback;
class CiTunesBackup;
class KdBackup;
class KdData;

struct ExportOptions {
    QString outDir;
    bool json = true;
    bool csv = false;
    bool html = false; // the report in <outDir>/report/
    QList<int> categories; // KdData::Category numbers; empty: every category
    // Copy the data files of file items (pictures, attachments, recordings) into
    // <outDir>/<category>/ under their device names, never overwriting, times kept.
    bool exportFiles = false;
    // Encrypted backups: the file holding the password (else $IBREADER_PASSWORD, else a prompt),
    // and a folder to keep the decrypted databases in (empty: none is kept).
    QString passwordFile;
    QString keepDecrypted;
    // The backup the files are copied from (decrypted when it is encrypted); null: copied as they are.
    const CiTunesBackup* source = nullptr;
    // The extraction was stopped before its end: any category may hold fewer items than the source.
    bool stopped = false;
};

// Names sort the way people expect even under the C locale; called before items are collected.
void useNaturalCollation();

// collectInfos + collectDatas into `model`. With `withDeleted`, deleted records are searched in
// a private working folder outside the backup, removed before returning; an encrypted backup
// (unlocked) is decrypted there too. `workFolder` names that folder when the caller made it.
// False when the progress callback cancelled; what could not be done is appended to `skipped`.
bool extractBackup(const CiTunesBackup& backup, KdBackup* model, CIProgressCallback* progress, bool withDeleted = true,
                   QStringList* skipped = nullptr, const QString& workFolder = QString());

// One category: {"category", "title", "columns", "count", "deleted", "items": [...]}. Each item
// has "values" (by column header), "sort" (sort values by header, where set), "deleted", "size",
// "file" (file items) and "detail" (contact and conversation details).
QJsonObject categoryJson(KdData* data, bool stopped = false);
// Marks each extracted category of a summary as read only in part (the run was stopped).
void markIncomplete(QJsonObject* summary);
// Header row (columns, then "Deleted", "File") and one row per item; RFC 4180 quoting.
QByteArray categoryCsv(KdData* data);
// One row per message: conversation, date (ISO 8601 UTC), direction, sender, service, text,
// attachment names, deleted.
QByteArray messagesCsv(KdData* data);

// Creates `path` (and the folders above it) unless it is there, and checks it can be written in;
// false with the reason (a file in its place, a refusal by the system) in `why`.
bool makeOutputFolder(const QString& path, QString* why);

// Writes <machine name>.json / .csv per selected category into options.outDir, then the copies of
// exported files, each listed in `written`. A file that cannot
// be written (a full disk, a link or folder in its place) is reported in `errors` with its path
// and the reason, and the others are still written; false when any failed.
bool writeExport(KdBackup* model, const ExportOptions& options, QStringList* written, QStringList* errors,
                 QStringList* skipped = nullptr);

// Device properties and per-category counts (items, deleted items). A category outside
// `selected` (when not empty) has "extracted": false and no counts.
QJsonObject summarizeExtraction(KdBackup* model, const QList<int>& selected = QList<int>());

// Text lines for a summary: one line per category in presentation order, then the files written
// (when the summary lists them) and whether the run was cancelled.
void printExtractionSummary(const QJsonObject& summary);

// The whole `extract` command after argument parsing: parse the backup folder, extract (progress
// bar when stderr is a terminal; Ctrl-C cancels), write the files, also after a cancellation.
// Returns a cli::ExitCode (128 + the signal when stopped, Incomplete when part of the work was
// skipped, Failure when a file could not be written); `summary` (optional) receives
// summarizeExtraction plus "files" and "completed".
int runExtraction(const QString& backupFolder, const ExportOptions& options, bool withDeleted, QJsonObject* summary);

// Takes --out, --format, --categories and --export-files from `args` into `options`; false with
// the problem (a missing value, an unknown format or category) for a usage error.
bool takeExportOptions(QStringList& args, ExportOptions& options, QString* problem);

// Category names accepted by --categories ("contacts", "messages", ...).
QStringList categoryNames();
