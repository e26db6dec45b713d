#include "CVoiceMemoCollection.h"

#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "CManifestRecord.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

namespace {
const char kMediaDomain[] = "MediaDomain";
const char kGroupDomain[] = "AppDomainGroup-group.com.apple.VoiceMemos.shared";
const char kRecordings[] = "Media/Recordings/";
} // namespace

KdVoiceMemoItem* makeVoiceMemoItem(const QString& localPath, const QString& name, qint64 size, int duration)
{
    KdVoiceMemoItem* item = KdVoiceMemoItem::createItem();
    item->setValue(name, 0);
    item->setValue(CCommonUtils::sizeToString(size), 1);
    item->setSortValue(size, 1);
    if (duration >= 0) {
        item->setValue(CCommonUtils::durationToString(duration, false), 2);
        item->setSortValue(duration, 2);
    }
    item->setFilePath(localPath);
    item->setSize(quint64(qMax<qint64>(size, 0)));
    return item;
}

CVoiceMemoQuery::CVoiceMemoQuery(KdData* target, CVoiceMemoPathTranslater* translater, bool cloudLayout, bool withTitle)
    : m_pTarget(target), m_pTranslater(translater)
{
    if (!cloudLayout) {
        m_sqls << QStringLiteral("select zpath, zduration, NULL from zrecording");
        m_countSqls << QStringLiteral("select count(*) from zrecording");
        return;
    }
    // Newer systems keep the title in ZENCRYPTEDTITLE, in plain text despite the name.
    m_sqls << (withTitle ? QStringLiteral("select ZPATH, ZDURATION, coalesce(nullif(ZENCRYPTEDTITLE, ''), ZCUSTOMLABEL) "
                                          "from ZCLOUDRECORDING order by ZDATE")
                         : QStringLiteral("select ZPATH, ZDURATION, ZCUSTOMLABEL from ZCLOUDRECORDING order by ZDATE"));
    m_countSqls << QStringLiteral("select count(*) from ZCLOUDRECORDING");
}

bool CVoiceMemoQuery::handleRow(sqlite3_stmt* stmt)
{
    const QString path = columnText(stmt, 0);
    const int duration = columnInt(stmt, 1); // 75.9 s is 75 s
    QString local = path;
    qint64 size = 0;
    if (!m_pTranslater || !m_pTranslater->translatePath(local, size))
        return true;
    const QString title = columnText(stmt, 2);
    KdVoiceMemoItem* item = makeVoiceMemoItem(local, title.isEmpty() ? path.section(QLatin1Char('/'), -1) : title, size, duration);
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
        if (r && ((r->domain == QLatin1String(kMediaDomain) && r->relativePath.startsWith(QLatin1String(kRecordings)))
                  || (r->domain == QLatin1String(kGroupDomain) && r->relativePath.startsWith(QLatin1String("Recordings/")))))
            m_times.insert(r->hashName, r->mtime);
    const int before = m_pData ? m_pData->count() : 0;
    static const struct {
        const char* domain;
        const char* path;
        bool cloud;
    } kDatabases[] = {{kMediaDomain, "Media/Recordings/Recordings.db", false},
                      {kMediaDomain, "Media/Recordings/CloudRecordings.db", true},
                      {kGroupDomain, "Recordings/CloudRecordings.db", true}};
    bool found = false;
    for (const auto& d : kDatabases) {
        const QString relativePath = QLatin1String(d.path);
        const QString db = databaseFile(backupDir, QLatin1String(d.domain), relativePath, fileSuffix);
        if (db.isEmpty())
            continue;
        found = true;
        if (!readableDatabase(db, QStringLiteral("voice memos"), relativePath, {d.cloud ? "ZCLOUDRECORDING" : "ZRECORDING"}))
            continue;
        m_domain = QLatin1String(d.domain);
        m_folder = relativePath.left(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
        evidencedb::Database probe;
        const bool withTitle = d.cloud && probe.open(db, "iTunesBackup") && probe.hasColumn("ZCLOUDRECORDING", "ZENCRYPTEDTITLE");
        CVoiceMemoQuery(m_pData, this, d.cloud, withTitle).run({db}, m_pProgress);
    }
    // The framework logs a missing database by the name it looked for.
    if (!found)
        CVoiceMemoQuery(m_pData, this)
            .run({backupDataFile(backupDir, QLatin1String(kMediaDomain), QStringLiteral("Media/Recordings/Recordings.db"), fileSuffix)},
                 m_pProgress);
    reportMissingFiles();
    for (int i = before; m_pData && i < m_pData->count(); ++i)
        if (auto* item = dynamic_cast<KdFileItem*>(m_pData->at(i, false)))
            item->setModifiedTime(m_times.value(QFileInfo(item->filePath()).fileName().chopped(m_fileSuffix.size()), 0));
}

bool CVoiceMemoCollection::translatePath(QString& path, qint64& size)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    if (name.isEmpty())
        return false;
    const QFileInfo data(backupDataFile(m_backupDir, m_domain, m_folder + name, m_fileSuffix));
    if (!data.isFile()) {
        noteMissingFile(m_domain, m_folder + name, m_fileSuffix);
        return false;
    }
    path = data.absoluteFilePath();
    size = data.size();
    return true;
}
