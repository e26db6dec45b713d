#pragma once

#include <QString>

#include <memory>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdData;
class QTextDocument;

// Notes of either database generation: the Core Data layout (znote, ZNOTEBODY) and the older
// note/NOTE_BODIES layout; the first statement that fits the file is used. Most recently
// modified first.
class CNoteQuery : public CISQLiteQuery
{
public:
    explicit CNoteQuery(KdData* target); // not owned; null reads nothing into anything
    ~CNoteQuery() override;
    bool handleRow(sqlite3_stmt* stmt) override;

    // A stored body (an HTML fragment) as the user reads it: one line per div block, markup and
    // entities resolved.
    QString bodyText(const QString& html);

private:
    KdData* m_pTarget;
    std::unique_ptr<QTextDocument> m_document; // reused for every row
};

// Notes of a backup: "Library/Notes/notes.db" when the backup holds it, else
// "Library/Notes/notes.sqlite", both in HomeDomain.
class CNoteCollection : public CIDataCollection
{
public:
    explicit CNoteCollection(KdData* notes); // KdBackup::getNote(); not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                 const QString& fileSuffix) override;

private:
    KdData* m_pData;
};
