#include "demo_newer.h"

#include <algorithm>

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>

#include "NoteBodyWriter.h"
#include "SampleBackup.h"
#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"

namespace sample {

using namespace sample::notebody;

namespace {

const qint64 kNanoseconds = 1000000000;

bool exec(sqlite3* db, const QString& sql, const QVariantList& binds = {})
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant& v = binds[i];
        if (v.isNull()) {
            sqlite3_bind_null(stmt, i + 1);
        } else if (v.typeId() == QMetaType::QByteArray) {
            const QByteArray b = v.toByteArray();
            sqlite3_bind_blob(stmt, i + 1, b.constData(), int(b.size()), SQLITE_TRANSIENT);
        } else if (v.typeId() == QMetaType::QString) {
            const QByteArray t = v.toString().toUtf8();
            sqlite3_bind_text(stmt, i + 1, t.constData(), int(t.size()), SQLITE_TRANSIENT);
        } else if (v.typeId() == QMetaType::Double) {
            sqlite3_bind_double(stmt, i + 1, v.toDouble());
        } else {
            sqlite3_bind_int64(stmt, i + 1, v.toLongLong());
        }
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

QSet<QString> columnsOf(sqlite3* db, const char* table)
{
    QSet<QString> out;
    evidencedb::Statement st(db, QByteArray("PRAGMA table_info(") + table + ")");
    while (st.ok() && st.next())
        out.insert(QString::fromUtf8(st.text(1)).toLower());
    return out;
}

// ---- messages ----------------------------------------------------------------------------------

// A literal with its NUL bytes.
template <size_t N>
QByteArray raw(const char (&bytes)[N])
{
    return QByteArray(bytes, qsizetype(N - 1));
}

QByteArray typedstreamLength(qsizetype n)
{
    QByteArray out;
    if (n < 0x80)
        return QByteArray(1, char(n));
    const int size = n <= 0xFFFF ? 2 : 4;
    out += char(size == 2 ? 0x81 : 0x82);
    for (int i = 0; i < size; ++i)
        out += char((n >> (8 * i)) & 0xFF);
    return out;
}

// An NSMutableAttributedString archived as the device archives message bodies: the class chain,
// the NSString with the text, then one attribute run over the whole of it.
QByteArray attributedBody(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out = raw("\x04\x0bstreamtyped\x81\xe8\x03\x84\x01\x40\x84\x84\x84\x19NSMutableAttributedString\x00"
                         "\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject\x00\x85\x92\x84\x84\x84\x08NSString\x01"
                         "\x94\x84\x01\x2b");
    out += typedstreamLength(utf8.size()) + utf8;
    out += raw("\x86\x84\x02iI\x01") + typedstreamLength(text.size());
    out += raw("\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d"
               "__kIMMessagePartAttributeName\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07NSValue\x00"
               "\x94\x84\x01*\x84\x99\x99\x00\x86\x86\x86");
    return out;
}

struct LiveMessage {
    qint64 rowid, chat, handle, date;
    QString guid, text;
};

} // namespace

bool upgradeMessages(const QString& smsDb, int iosMajor)
{
    sqlite3* handle = nullptr;
    const int rc = sqlite3_open(QFile::encodeName(smsDb).constData(), &handle);
    const evidencedb::SqlitePtr owner(handle);
    if (rc != SQLITE_OK)
        return false;
    sqlite3* db = owner.get();
    // The deleted rows stay where they are, as the device's migrations leave them.
    bool ok = exec(db, QStringLiteral("PRAGMA secure_delete = OFF"));
    const QSet<QString> columns = columnsOf(db, "message");
    const char* const added[][2] = {{"attributedBody", "BLOB"},
                                    {"associated_message_guid", "TEXT"},
                                    {"associated_message_type", "INTEGER DEFAULT 0"},
                                    {"date_edited", "INTEGER DEFAULT 0"},
                                    {"date_retracted", "INTEGER DEFAULT 0"}};
    for (const auto& c : added)
        if (!columns.contains(QString::fromLatin1(c[0]).toLower()))
            ok = ok && exec(db, QStringLiteral("ALTER TABLE message ADD COLUMN %1 %2").arg(QLatin1String(c[0]), QLatin1String(c[1])));
    // Plain texts only: a text with an attachment's placeholder keeps it.
    QList<LiveMessage> live;
    {
        evidencedb::Statement st(db, "SELECT m.ROWID, j.chat_id, (SELECT h.handle_id FROM chat_handle_join h WHERE "
                                     "h.chat_id = j.chat_id ORDER BY h.handle_id LIMIT 1), m.date, m.guid, m.text FROM message m "
                                     "JOIN chat_message_join j ON j.message_id = m.ROWID WHERE m.text IS NOT NULL AND "
                                     "instr(m.text, char(65532)) = 0 ORDER BY m.ROWID");
        while (st.ok() && st.next())
            live.append({st.int64(0), st.int64(1), st.int64(2), st.int64(3), QString::fromUtf8(st.text(4)),
                         QString::fromUtf8(st.text(5))});
    }
    if (!ok || live.size() < 5)
        return false;
    ok = exec(db, QStringLiteral("BEGIN"));
    // The body archive alone, as newer releases keep most messages.
    ok = ok && exec(db, QStringLiteral("UPDATE message SET text = NULL, attributedBody = ? WHERE ROWID = ?"),
                    {attributedBody(live[0].text), live[0].rowid});
    // The partner likes one message; I love another and take it back.
    auto react = [&](const LiveMessage& target, int type, bool fromMe, qint64 after) {
        return exec(db, QStringLiteral("INSERT INTO message (guid, text, handle_id, service, date, is_from_me, is_sent, "
                                       "is_delivered, is_finished, associated_message_type, associated_message_guid) "
                                       "VALUES (?, NULL, ?, 'iMessage', ?, ?, ?, 1, 1, ?, ?)"),
                    {QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), target.handle,
                     (target.date + after) * kNanoseconds, fromMe ? 1 : 0, fromMe ? 1 : 0, type,
                     QStringLiteral("p:0/") + target.guid})
            && exec(db, QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, last_insert_rowid())"),
                    {target.chat});
    };
    ok = ok && react(live[1], 2001, false, 30) && react(live[2], 2000, true, 30) && react(live[2], 3000, true, 90);
    // The partner laughs at another one; the reaction is deleted below.
    ok = ok && react(live[3], 2003, false, 45);
    if (iosMajor >= 16) {
        ok = ok && exec(db, QStringLiteral("UPDATE message SET date_edited = ? WHERE ROWID = ?"),
                        {(live[3].date + 60) * kNanoseconds, live[3].rowid});
        // Taking a message back clears its body and stamps both dates.
        ok = ok && exec(db, QStringLiteral("UPDATE message SET text = NULL, attributedBody = NULL, date_edited = ?, "
                                           "date_retracted = ? WHERE ROWID = ?"),
                        {(live[4].date + 90) * kNanoseconds, (live[4].date + 90) * kNanoseconds, live[4].rowid});
    }
    // Real files mix both units: rows from before the migration keep their seconds.
    ok = ok && exec(db, QStringLiteral("UPDATE message SET date = date * %1, date_read = CASE WHEN date_read > 0 THEN "
                                       "date_read * %1 ELSE date_read END WHERE ROWID % 4 != 3 AND date < %1")
                            .arg(kNanoseconds));
    if (!exec(db, ok ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK")) || !ok)
        return false;
    // Deleted since the upgrade: their rows stay in the new layout's free space.
    for (const LiveMessage& m : live.mid(5, 2))
        ok = ok && exec(db, QStringLiteral("DELETE FROM chat_message_join WHERE message_id = ?"), {m.rowid})
            && exec(db, QStringLiteral("DELETE FROM message WHERE ROWID = ?"), {m.rowid});
    ok = ok && exec(db, QStringLiteral("DELETE FROM chat_message_join WHERE message_id IN (SELECT ROWID FROM message WHERE "
                                       "associated_message_type = 2003)"))
        && exec(db, QStringLiteral("DELETE FROM message WHERE associated_message_type = 2003"));
    return ok;
}

namespace {

// ---- notes -------------------------------------------------------------------------------------

// The numbers one release's Z_PRIMARYKEY gives the entities, and its numbered columns.
struct StoreLayout {
    int ios;
    int note, attachment;
    const char* createdColumn;
};
const StoreLayout kStoreLayouts[] = {
    {10, 8, 5, "ZCREATIONDATE1"}, {11, 9, 5, "ZCREATIONDATE1"}, {15, 12, 9, "ZCREATIONDATE3"},
    {16, 11, 8, "ZCREATIONDATE3"}, {17, 12, 5, "ZCREATIONDATE3"},
};

// Core Data triggers call it; the device's framework provides it.
void noop(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_null(context); }

struct DemoNote {
    QString title, text;
    double created, modified;
};

// The text the user typed: one line per block of the older HTML body.
QString plainText(QString html)
{
    html.replace(QStringLiteral("<br>"), QString()).replace(QStringLiteral("</div>"), QStringLiteral("\n"));
    html.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    while (html.endsWith(QLatin1Char('\n')))
        html.chop(1);
    return html;
}

} // namespace

bool writeNoteStore(const QString& notesDb, SampleBackupWriter& writer, int iosMajor)
{
    const StoreLayout* layout = &kStoreLayouts[0];
    for (const StoreLayout& l : kStoreLayouts)
        if (l.ios <= iosMajor)
            layout = &l;
    QList<DemoNote> notes;
    {
        evidencedb::Database old;
        if (!old.open(notesDb, "Sample"))
            return false;
        for (evidencedb::Statement st(old, "SELECT n.ZTITLE, b.ZCONTENT, n.ZCREATIONDATE, n.ZMODIFICATIONDATE FROM ZNOTE n "
                                           "LEFT JOIN ZNOTEBODY b ON b.Z_PK = n.ZBODY ORDER BY n.Z_PK");
             st.next();) {
            const QString title = QString::fromUtf8(st.text(0));
            QString body = plainText(QString::fromUtf8(st.text(1)));
            // The first line of a note is its title.
            if (!body.startsWith(title))
                body = title + QLatin1Char('\n') + body;
            notes.append({title, body, sqlite3_column_double(st.handle(), 2), sqlite3_column_double(st.handle(), 3)});
        }
    }
    if (notes.size() < 3)
        return false;

    QTemporaryDir tmp;
    if (!tmp.isValid())
        return false;
    const QString path = tmp.filePath(QStringLiteral("NoteStore.sqlite"));
    const QString wal = path + QStringLiteral("-wal");
    QByteArray mainBytes, walBytes;
    {
        sqlite3* handle = nullptr;
        const int rc = sqlite3_open(QFile::encodeName(path).constData(), &handle);
        const evidencedb::SqlitePtr owner(handle);
        if (rc != SQLITE_OK)
            return false;
        sqlite3* db = owner.get();
        sqlite3_create_function_v2(db, "NSCoreDataTriggerUpdateAffectedObjectValue", -1, SQLITE_UTF8, nullptr, &noop, nullptr,
                                   nullptr, nullptr);
        bool ok = exec(db, QStringLiteral("PRAGMA secure_delete = OFF")) && exec(db, QStringLiteral("PRAGMA journal_mode = WAL"))
            && exec(db, QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
        for (const QString& s : ibr::iosSchemaStatements(layout->ios, QStringLiteral("NoteStore.sqlite")))
            if (!s.contains(QLatin1String("sqlite_")))
                ok = ok && exec(db, s);
        // As a device leaves it: the schema checkpointed into the main file, every row still in
        // the -wal.
        ok = ok && exec(db, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")) && exec(db, QStringLiteral("BEGIN"));
        const int attachmentKey = 1;
        const QByteArray attachmentId = QByteArrayLiteral("9F1C2D3E-DEMO-ATTACHMENT");
        ok = ok && exec(db, QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, Z_OPT, ZIDENTIFIER, ZTYPEUTI) "
                                           "VALUES (?, ?, 1, ?, 'public.jpeg')"),
                        {attachmentKey, layout->attachment, QString::fromLatin1(attachmentId)});
        for (int i = 0; ok && i < notes.size(); ++i) {
            const DemoNote& n = notes[i];
            const qint64 key = attachmentKey + 1 + i;
            QString text = n.text;
            QList<QByteArray> runs;
            bool locked = false;
            if (i == 0) {
                // A note in parts: its text, then a checklist with one item done.
                const QString items = QStringLiteral("Milk\nEggs\n");
                runs = {plainRun(text.size() + 1), checklistRun(5, true), checklistRun(5, false)};
                text += QLatin1Char('\n') + items;
            } else if (i == 1) {
                // The run names the attachment; only its row knows the type.
                runs = {plainRun(text.size() + 1), attachmentRun(1, attachmentId)};
                text += QLatin1Char('\n') + QChar(0xFFFC);
            } else {
                locked = i == 2;
            }
            QByteArray data = gzip(notePayload(text, runs));
            if (locked) // encrypted with the note's password: no gzip stream at all
                std::transform(data.begin(), data.end(), data.begin(), [](char c) { return char(c ^ 0x5A); });
            ok = exec(db, QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, Z_OPT, ZIDENTIFIER, ZTITLE1, "
                                         "ZMODIFICATIONDATE1, %1, ZISPASSWORDPROTECTED, ZMARKEDFORDELETION) "
                                         "VALUES (?, ?, 1, ?, ?, ?, ?, ?, 0)").arg(QLatin1String(layout->createdColumn)),
                      {key, layout->note, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), n.title, n.modified,
                       n.created, locked ? 1 : 0})
                && exec(db, QStringLiteral("INSERT INTO ZICNOTEDATA (Z_PK, Z_OPT, ZNOTE, ZDATA) VALUES (?, 1, ?, ?)"),
                        {i + 1, key, data});
        }
        ok = ok && exec(db, QStringLiteral("INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (?, 'ICNote', 0, ?), "
                                           "(?, 'ICAttachment', 0, ?)"),
                        {layout->note, qint64(attachmentKey + notes.size()), layout->attachment, attachmentKey})
            && exec(db, QStringLiteral("COMMIT"));
        // A note written and deleted later: its row and body live on in the -wal's earlier frames.
        const qint64 gone = attachmentKey + 1 + notes.size();
        const DemoNote& last = notes.last();
        ok = ok
            && exec(db, QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, Z_OPT, ZIDENTIFIER, ZTITLE1, "
                                       "ZMODIFICATIONDATE1, %1, ZISPASSWORDPROTECTED, ZMARKEDFORDELETION) "
                                       "VALUES (?, ?, 1, ?, 'Door code', ?, ?, 0, 0)").arg(QLatin1String(layout->createdColumn)),
                    {gone, layout->note, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), last.modified + 3600,
                     last.modified + 3600})
            && exec(db, QStringLiteral("INSERT INTO ZICNOTEDATA (Z_PK, Z_OPT, ZNOTE, ZDATA) VALUES (?, 1, ?, ?)"),
                    {qint64(notes.size() + 1), gone, gzip(notePayload(QStringLiteral("Door code\nThe gate opens with 4711"), {}))})
            && exec(db, QStringLiteral("UPDATE Z_PRIMARYKEY SET Z_MAX = ? WHERE Z_ENT = ?"), {gone, layout->note})
            && exec(db, QStringLiteral("DELETE FROM ZICNOTEDATA WHERE ZNOTE = ?"), {gone})
            && exec(db, QStringLiteral("DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = ?"), {gone});
        if (!ok)
            return false;
        // Closing would fold the -wal back in: both are taken while the connection is open.
        QFile m(path), w(wal);
        if (!m.open(QIODevice::ReadOnly) || !w.open(QIODevice::ReadOnly))
            return false;
        mainBytes = m.readAll();
        walBytes = w.readAll();
    }
    const QString domain = QStringLiteral("AppDomainGroup-group.com.apple.notes");
    writer.addFile(domain, QStringLiteral("NoteStore.sqlite"), mainBytes);
    writer.addFile(domain, QStringLiteral("NoteStore.sqlite-wal"), walBytes);
    return true;
}

} // namespace sample
