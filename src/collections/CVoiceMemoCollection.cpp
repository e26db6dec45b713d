#include "CVoiceMemoCollection.h"

#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "CManifestRecord.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

namespace {
const char kMediaDomain[] = "MediaDomain";
const char kRecordings[] = "Media/Recordings/";
} // namespace

KdVoiceMemoItem* makeVoiceMemoItem(const QString& localPath, const QString& name, qint64 size, int duration)
{
    KdVoiceMemoItem* item = KdVoiceMemoItem::createItem();
    item->setValue(name, 0);
    item->setValue(CCommonUtils::sizeToString(size), 1);
    item->setSortValue(size, 1);
    item->setValue(CCommonUtils::durationToString(duration, false), 2);
    item->setSortValue(duration, 2);
    item->setFilePath(localPath);
    item->setSize(quint64(qMax<qint64>(size, 0)));
    return item;
}

CVoiceMemoQuery::CVoiceMemoQuery(KdData* target, CVoiceMemoPathTranslater* translater)
    : m_pTarget(target), m_pTranslater(translater)
{
    m_sqls << QStringLiteral("select zpath, zduration from zrecording");
    m_countSqls << QStringLiteral("select count(*) from zrecording");
}

bool CVoiceMemoQuery::handleRow(sqlite3_stmt* stmt)
{
    const QString path = columnText(stmt, 0);
    const int duration = columnInt(stmt, 1); // 75.9 s is 75 s
    QString local = path;
    qint64 size = 0;
    if (!m_pTranslater || !m_pTranslater->translatePath(local, size))
        return true;
    KdVoiceMemoItem* item = makeVoiceMemoItem(local, path.section(QLatin1Char('/'), -1), size, duration);
    item->setDevicePath(path);
    if (m_pTarget)
        m_pTarget->append(item);
    else
        delete item;
    return true;
}

CVoiceMemoCollection::CVoiceMemoCollection(KdData* voiceMemos) : m_pData(voiceMemos) {}

void CVoiceMemoCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix)
{
    m_backupDir = backupDir;
    m_fileSuffix = fileSuffix;
    m_times.clear();
    for (const CManifestRecord* r : files)
        if (r && r->domain == QLatin1String(kMediaDomain) && r->relativePath.startsWith(QLatin1String(kRecordings)))
            m_times.insert(r->hashName, r->mtime);
    const int before = m_pData ? m_pData->count() : 0;
    const QString db = databaseFile(backupDir, QLatin1String(kMediaDomain), QStringLiteral("Media/Recordings/Recordings.db"), fileSuffix);
    if (!db.isEmpty() && !readableDatabase(db, QStringLiteral("voice memos"), QStringLiteral("Media/Recordings/Recordings.db"), {"ZRECORDING"}))
        return;
    // The framework logs a missing database by the name it looked for.
    CVoiceMemoQuery(m_pData, this)
        .run({db.isEmpty() ? backupDataFile(backupDir, QLatin1String(kMediaDomain), QStringLiteral("Media/Recordings/Recordings.db"), fileSuffix) : db},
             m_pProgress);
    for (int i = before; m_pData && i < m_pData->count(); ++i)
        if (auto* item = dynamic_cast<KdFileItem*>(m_pData->at(i, false)))
            item->setModifiedTime(m_times.value(QFileInfo(item->filePath()).fileName().chopped(m_fileSuffix.size()), 0));
}

bool CVoiceMemoCollection::translatePath(QString& path, qint64& size)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    if (name.isEmpty())
        return false;
    const QFileInfo data(backupDataFile(m_backupDir, QLatin1String(kMediaDomain), QLatin1String(kRecordings) + name, m_fileSuffix));
    if (!data.isFile())
        return false;
    path = data.absoluteFilePath();
    size = data.size();
    return true;
}
