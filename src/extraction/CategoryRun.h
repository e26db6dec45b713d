#pragma once

#include <QList>

#include <functional>
#include <QString>
#include <QStringList>

#include "ibreader_export.h"

class CIProgressCallback;
class CManifestRecord;
class CSMSPieceReader;
class KdBackup;

// What the category readers read: data files named by the records, under `root` (flat or in
// two-digit sub-folders), as a backup keeps them.
struct CategorySource {
    QString root;
    const QList<CManifestRecord*>& files;
    QString fileSuffix;
    QString productType; // for the default bookmarks
    CSMSPieceReader* pieceReader = nullptr; // the oldest messages' pieces; null: the files above
    // Where the index's data files belong when `root` holds copies of them; empty: `root`.
    QString indexRoot = QString();
};

// The eleven category readers in their fixed order ("camera roll", "photo stream", "contacts",
// "messages", "message attachments", "call history", "calendar", "notes", "reminders", "voice
// memos", "safari"), or those of them named in `only`, each reporting a range of 100 on
// `categoryProgress` (a sub-progress whose share is one category's). False when it stopped.
bool runCategories(KdBackup* backup, CIProgressCallback* categoryProgress, const CategorySource& source, QStringList* skipped,
                   const QStringList& only = QStringList());

// The KdData categories an extraction on this thread is for, while the object lives (the previous
// selection comes back after it); empty: every category. CiTunesBackup::collectDatas then
// collects, decrypts and searches for deleted records only what they need.
class IBREADER_EXPORT CategorySelection
{
public:
    explicit CategorySelection(const QList<int>& categories);
    ~CategorySelection();
    CategorySelection(const CategorySelection&) = delete;
    CategorySelection& operator=(const CategorySelection&) = delete;
    static QList<int> current();

private:
    QList<int> m_previous;
};

// The categories `selected` needs read: itself, and contacts for messages and calls (they name
// people). Empty for an empty selection (every category).
QList<int> categoriesToRead(const QList<int>& selected);

// Items whose files (and message pieces) lie in `folder` are made to name map(path) instead: the
// folder goes with the run, what it stood for stays.
void remapItemFiles(KdBackup* backup, const QString& folder, const std::function<QString(const QString&)>& map);
