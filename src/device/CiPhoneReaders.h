#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "CSMSCollection.h"
#include "CVoiceMemoCollection.h"

class CiPhoneBackup;
class KdData;

// Finds a message piece among the message files copied from the device ("medias/SMS").
class CiPhoneSMSPieceReader : public CSMSPieceReader
{
public:
    explicit CiPhoneSMSPieceReader(const CiPhoneBackup* owner) : m_pOwner(owner) {}
    const QByteArray& readPiece(const QString& location) override;

private:
    QByteArray m_data;
    const CiPhoneBackup* m_pOwner; // not owned
};

// Maps a recording to the copied "Recordings" folder, and lists the copied recordings that no
// row mentioned as deleted voice memos.
class CiPhoneVoiceMemoTranslater : public CVoiceMemoPathTranslater
{
public:
    explicit CiPhoneVoiceMemoTranslater(const QString& basePath) : m_basePath(basePath) {}
    bool translatePath(QString& path, qint64& size) override;
    // A recording the readers already listed (they found it through the index).
    void markTranslated(const QString& localPath) { m_translated << localPath; }
    void collectUnreferenced(KdData* voiceMemos);

private:
    QStringList m_translated;
    QString m_basePath;
};
