#include "CiPhoneReaders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "CiPhoneBackup.h"
#include "CVoiceMemoCollection.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "kddata/KdSMSChatGroup.h"
#include "mediacarve/MediaCarver.h"

const QByteArray& CiPhoneSMSPieceReader::readPiece(const QString& location)
{
    m_data.clear();
    if (!m_pOwner)
        return m_data;
    const QDir messages(QDir(QDir(m_pOwner->tmpPath()).filePath(QStringLiteral("medias"))).filePath(QStringLiteral("SMS")));
    const QString base = QFileInfo(location).completeBaseName();
    const QString root = messages.absolutePath() + QLatin1Char('/');
    QList<QPair<QString, QString>> candidates;
    for (const CiPhoneFileInfo* file : m_pOwner->fileInfos()) {
        if (!file->path.startsWith(root))
            continue; // only the copied message folder holds pieces
        const QString rel = messages.relativeFilePath(file->path);
        const QString relDir = QFileInfo(rel).path() == QLatin1String(".") ? QString() : QFileInfo(rel).path();
        const QString name = QFileInfo(rel).fileName();
        if (location.contains(QLatin1Char('/')) && !location.contains(relDir))
            continue;
        if (name.startsWith(base))
            candidates.append({name, file->path});
    }
    // The first that reads, replaced by a later preview; pictures as PNG, mirrored when "left".
    m_data = KdSMSPiece::readAttachment(candidates);
    return m_data;
}

bool CiPhoneVoiceMemoTranslater::translatePath(QString& path, qint64& size)
{
    const QString local = m_basePath + QStringLiteral("/Recordings/") + path.section(QLatin1Char('/'), -1);
    path = local;
    const QFileInfo info(local);
    if (!info.isFile())
        return false;
    size = info.size();
    m_translated << local;
    return true;
}

void CiPhoneVoiceMemoTranslater::collectUnreferenced(KdData* voiceMemos)
{
    if (!voiceMemos)
        return;
    const QDir recordings(m_basePath + QStringLiteral("/Recordings/"));
    for (const QFileInfo& e : recordings.entryInfoList({QStringLiteral("*.m4a")}, QDir::AllEntries | QDir::NoDotAndDotDot)) {
        if (m_translated.contains(e.absoluteFilePath()))
            continue;
        // No row gives its length: the file's own header may.
        KdVoiceMemoItem* item =
            makeVoiceMemoItem(e.absoluteFilePath(), e.fileName(), e.size(), mediacarve::recordingSeconds(e.absoluteFilePath()));
        item->setFlag(true, 0);
        voiceMemos->prepend(item);
    }
}
