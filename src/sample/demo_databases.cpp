// Category databases of the demo backup beyond the address book: messages, calls, calendar and
// reminders, notes and Safari bookmarks, each in the real layout of the chosen iOS version, with
// some rows deleted so that recovery has something to find.

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <QBuffer>
#include <QImage>

#include <sqlite3.h>

#include "SampleBackup.h"
#include "demo_newer.h"
#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"
#include "iosrecgen.h"

namespace {

struct DemoDatabase {
    const char* category;
    int type;
    const char* domain;
    const char* folder; // device folder of the database
};

const DemoDatabase kDatabases[] = {
    {"messages", 1, "HomeDomain", "Library/SMS/"},
    {"calls", 2, "HomeDomain", "Library/CallHistory/"},
    {"calendar", 3, "HomeDomain", "Library/Calendar/"},
    {"notes", 4, "HomeDomain", "Library/Notes/"},
    {"safari", 5, "HomeDomain", "Library/Safari/"},
};

// The files the live messages' attachments name, as the device keeps them under MediaDomain.
void addAttachmentFiles(const QString& smsDb, sample::SampleBackupWriter& writer)
{
    evidencedb::Database db;
    if (!db.open(smsDb, "Sample"))
        return;
    const QByteArray sql = db.hasTable("attachment") ? "SELECT filename FROM attachment"
                                                     : "SELECT filename FROM madrid_attachment";
    int seed = 0;
    for (evidencedb::Statement st(db, sql); st.next();) {
        QString path = QString::fromUtf8(st.text(0));
        if (path.startsWith(QLatin1String("~/")))
            path = path.mid(2);
        if (path.isEmpty())
            continue;
        QImage image(32, 24, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((seed++ * 47) % 360, 200, 220));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPEG");
        writer.addFile(QStringLiteral("MediaDomain"), path, bytes);
    }
}

// The newest layout the generator knows that is not newer than the device.
int layoutFor(int type, int iosMajor)
{
    const std::vector<int> versions = iosrecgen::versionsFor(type);
    int best = versions.empty() ? iosMajor : versions.front();
    for (int v : versions)
        if (v <= iosMajor)
            best = v;
    return best;
}

// From iOS 8 on the device keeps calls in a Core Data store; iOS 9 samples carry the same calls
// there instead of call_history.db, with every fourth one deleted afterwards. The number is a
// blob of its text until iOS 17 declares it text.
bool writeCallStore(const QString& callHistoryDb, sample::SampleBackupWriter& writer, int iosMajor)
{
    int layout = 9;
    for (int v : {10, 11, 17})
        if (v <= iosMajor)
            layout = v;
    return !writer.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistoryDB/CallHistory.storedata"),
        [&](sqlite3* db) {
            QStringList sql = ibr::iosSchemaStatements(layout, QStringLiteral("CallHistory.storedata"));
            sql.erase(std::remove_if(sql.begin(), sql.end(), [](const QString& s) { return s.contains(QLatin1String("sqlite_")); }),
                      sql.end());
            sql << QStringLiteral("INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (1, 'CallDBProperties', 0, 0), "
                                  "(2, 'CallRecord', 0, 0)")
                << QStringLiteral("ATTACH DATABASE '%1' AS old").arg(QString(callHistoryDb).replace(QLatin1Char('\''), QStringLiteral("''")))
                // Flags of the older store: bit 0 outgoing, 16 FaceTime, 32 its audio kind.
                << QStringLiteral(
                       "INSERT INTO ZCALLRECORD (Z_ENT, Z_OPT, ZANSWERED, ZCALLTYPE, ZORIGINATED, ZREAD, ZDATE, ZDURATION, "
                       "ZISO_COUNTRY_CODE, ZUNIQUE_ID, ZADDRESS) "
                       "SELECT 2, 1, duration > 0, CASE WHEN flags & 16 = 0 THEN 1 WHEN flags & 32 THEN 16 ELSE 8 END, "
                       "flags & 1, 1, date - 978307200, duration, country_code, lower(hex(randomblob(16))), %1 "
                       "FROM old.call ORDER BY ROWID").arg(layout >= 17 ? QStringLiteral("address") : QStringLiteral("CAST(address AS BLOB)"))
                << QStringLiteral("DETACH DATABASE old")
                << QStringLiteral("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZCALLRECORD) WHERE Z_ENT = 2")
                << QStringLiteral("DELETE FROM ZCALLRECORD WHERE Z_PK % 4 = 0");
            for (const QString& s : sql)
                if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
                    return false;
            return true;
        }).isEmpty();
}

bool writeDatabase(const DemoDatabase& db, sample::SampleBackupWriter& writer, const sample::DemoOptions& options)
{
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return false;
    iosrecgen::Options o;
    o.iosMajor = layoutFor(db.type, options.iosMajor);
    o.journal = iosrecgen::Journal::Rollback;
    o.rows = 24 * qMax(1, options.scale);
    o.deleteEvery = options.withDeletedRows ? 4 : 0;
    const QString path = iosrecgen::generate(db.type, tmp.path(), o, nullptr);
    if (path.isEmpty())
        return false;
    if (db.type == 2 && options.iosMajor >= 9)
        return writeCallStore(path, writer, options.iosMajor);
    // From iOS 10 on the notes live in NoteStore.sqlite; sms.db changed with iOS 11.
    if (db.type == 4 && options.iosMajor >= 10)
        return sample::writeNoteStore(path, writer, options.iosMajor);
    if (db.type == 1 && options.iosMajor >= 11 && !sample::upgradeMessages(path, options.iosMajor))
        return false;
    const QString name = QFileInfo(path).fileName();
    const QString devicePath = QLatin1String(db.folder) + name;
    // The database and whatever companion the journal mode left beside it.
    for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-journal")}) {
        QFile f(path + suffix);
        if (!f.exists())
            continue;
        if (!f.open(QIODevice::ReadOnly))
            return false;
        writer.addFile(QLatin1String(db.domain), devicePath + suffix, f.readAll());
    }
    if (db.type == 1)
        addAttachmentFiles(path, writer);
    return true;
}

bool writeMessages(sample::SampleBackupWriter& w, const sample::DemoOptions& o) { return writeDatabase(kDatabases[0], w, o); }
bool writeCalls(sample::SampleBackupWriter& w, const sample::DemoOptions& o) { return writeDatabase(kDatabases[1], w, o); }
bool writeCalendar(sample::SampleBackupWriter& w, const sample::DemoOptions& o) { return writeDatabase(kDatabases[2], w, o); }
bool writeNotes(sample::SampleBackupWriter& w, const sample::DemoOptions& o) { return writeDatabase(kDatabases[3], w, o); }
bool writeSafari(sample::SampleBackupWriter& w, const sample::DemoOptions& o) { return writeDatabase(kDatabases[4], w, o); }

const sample::CategoryRegistrar messages("messages", &writeMessages);
const sample::CategoryRegistrar calls("calls", &writeCalls);
const sample::CategoryRegistrar calendar("calendar", &writeCalendar);
const sample::CategoryRegistrar notes("notes", &writeNotes);
const sample::CategoryRegistrar safari("safari", &writeSafari);

} // namespace
