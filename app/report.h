#pragma once

#include <QStringList>

struct ExportOptions;
class KdBackup;

// Writes DIR/report/: index.html (the device and each category's live and deleted counts) and one
// page per category whose table sorts, filters and pages in the browser; conversations read as
// threads, pictures show as thumbnails (the exported copies when files were exported), deleted
// items are marked. Each page holds its own style, script and data: it opens from the disk with no
// server or network. Call after the files were exported, so the pages show the copies.
bool writeReport(KdBackup* model, const ExportOptions& options, QStringList* written, QStringList* errors);
