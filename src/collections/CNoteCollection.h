#pragma once

#include <QString>

#include <memory>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdData;
class QTextDocument;

// Notes of either notes.sqlite generation: the Core Data layout (znote, ZNOTEBODY) and the older
// note/NOTE_BODIES layout; the first statement that fits the file is used. Most recently
// modified first. Columns: 0 title, 1 modified, 2 body, 3 created, 4 folder.
class CNoteQuery : public CISQLiteQuery
{
public:
    explicit CNoteQuery(KdData* target); // not owned; null reads nothing into anything
    ~CNoteQuery() override;
    bool handleRow(sqlite3_stmt* stmt) override;

    // A stored body (an HTML fragment) as the user reads it: one line per div block, markup and
    // entities resolved.
    QString bodyText(const QString& html);
    // The same read without the rich-text document (markup dropped, entities resolved): for
    // bodies outside a notes query, such as recovered ones, where no document is set up.
    static QString plainBodyText(const QString& html);

private:
    KdData* m_pTarget;
    std::unique_ptr<QTextDocument> m_document; // reused for every row
};

// Notes of a backup: "Library/Notes/notes.db" when the backup holds it, else
// "Library/Notes/notes.sqlite", both in HomeDomain; then the notes of iOS 9 on, in
// "NoteStore.sqlite" of AppDomainGroup-group.com.apple.notes. A device that moved to the newer
// store keeps the older file beside it, with notes of its own: both are read.
class CNoteCollection : public CIDataCollection
{
public:
    explicit CNoteCollection(KdData* notes); // KdBackup::getNote(); not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                 const QString& fileSuffix) override;

private:
    void collectNoteStore(const QString& path, CIProgressCallback* progress);

    KdData* m_pData;
};
