#include "iosrecgen.h"

#include "ibr/schemas.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>
#include "evidencedb/EvidenceDatabase.h"

#include <cctype>
#include <functional>
#include <map>
#include <set>

namespace iosrecgen {

namespace {

const QChar kObjectReplacement(0xFFFC);

// ---- a small statement runner ----------------------------------------------------------------

class Db
{
public:
    ~Db() { close(); }

    bool open(const QString& path, Journal journal)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
            != SQLITE_OK)
            return false;
        // The WAL must outlive the connection, as on a device that was backed up mid-use.
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        exec("PRAGMA secure_delete = OFF");
        exec("PRAGMA synchronous = OFF"); // speed only: the file layout is the same
        exec("PRAGMA auto_vacuum = NONE");
        exec("PRAGMA foreign_keys = ON");
        switch (journal) {
        case Journal::Rollback:
            // Nothing is left beside the file either way; kept in memory, a journal costs no
            // file per row written.
            exec("PRAGMA journal_mode = MEMORY");
            break;
        case Journal::Persist:
            exec("PRAGMA journal_mode = PERSIST");
            break;
        case Journal::Wal:
            exec("PRAGMA journal_mode = WAL");
            exec("PRAGMA wal_autocheckpoint = 0");
            break;
        }
        registerFunction("read", [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_int(c, 1); });
        registerFunction("ab_generate_guid", [](sqlite3_context* c, int, sqlite3_value**) {
            const QByteArray id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
            sqlite3_result_text(c, id.constData(), id.size(), SQLITE_TRANSIENT);
        });
        registerFunction("delete_attachment_path", [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_null(c); });
        return true;
    }

    void close()
    {
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    // A failing statement is remembered in failures() so a generator slip cannot pass unseen.
    bool exec(const QString& sql, const QVariantList& args = {})
    {
        const bool ok = run(sql, args);
        if (!ok)
            m_failures << m_error + QStringLiteral(": ") + sql.left(100);
        return ok;
    }

    QStringList failures() const { return m_failures; }

    bool run(const QString& sql, const QVariantList& args = {})
    {
        sqlite3_stmt* st = nullptr;
        const QByteArray utf8 = sql.toUtf8();
        if (sqlite3_prepare_v2(m_db, utf8.constData(), utf8.size(), &st, nullptr) != SQLITE_OK) {
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
            return false;
        }
        for (int i = 0; i < args.size(); ++i) {
            const QVariant& a = args[i];
            if (!a.isValid() || a.isNull())
                sqlite3_bind_null(st, i + 1);
            else if (a.typeId() == QMetaType::QString) {
                const QByteArray t = a.toString().toUtf8();
                sqlite3_bind_text(st, i + 1, t.constData(), t.size(), SQLITE_TRANSIENT);
            } else if (a.typeId() == QMetaType::QByteArray) {
                const QByteArray b = a.toByteArray();
                sqlite3_bind_blob(st, i + 1, b.constData(), b.size(), SQLITE_TRANSIENT);
            } else if (a.typeId() == QMetaType::Double)
                sqlite3_bind_double(st, i + 1, a.toDouble());
            else
                sqlite3_bind_int64(st, i + 1, a.toLongLong());
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
            return false;
        }
        return true;
    }

    // Runs a layout's statements; a trigger that calls a function only the device defines gets
    // a no-op stand-in.
    void applySchema(const QStringList& statements, QStringList* warnings)
    {
        static const QRegularExpression missing(QStringLiteral("no such function: (\\w+)"));
        static const QRegularExpression tokenizer(QStringLiteral("tokenize\\s*=\\s*\\w+\\s*,?"));
        for (QString s : statements) {
            if (s.contains(QLatin1String("TABLE sqlite_sequence"), Qt::CaseInsensitive))
                continue; // SQLite makes it with the first AUTOINCREMENT table
            if (run(s))
                continue;
            const auto m = missing.match(m_error);
            if (m.hasMatch()) {
                registerFunction(m.captured(1).toUtf8(), [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_null(c); });
                if (run(s))
                    continue;
            }
            if (m_error.contains(QLatin1String("already exists")))
                continue; // a full-text table's shadow tables, made with the virtual table
            if (m_error.contains(QLatin1String("unknown tokenizer"))) {
                // The device's own tokenizer is not here; the default one builds the same tables.
                s.remove(tokenizer);
                if (run(s))
                    continue;
            }
            if (warnings)
                *warnings << m_error + QStringLiteral(": ") + s.left(80);
        }
    }

    qint64 lastId() const { return sqlite3_last_insert_rowid(m_db); }
    QString error() const { return m_error; }
    sqlite3* handle() const { return m_db; }

private:
    using Fn = void (*)(sqlite3_context*, int, sqlite3_value**);
    void registerFunction(const QByteArray& name, Fn fn)
    {
        sqlite3_create_function(m_db, name.constData(), -1, SQLITE_UTF8, nullptr, fn, nullptr, nullptr);
    }

    sqlite3* m_db = nullptr;
    QString m_error;
    QStringList m_failures;
};

bool shouldDelete(int i, const Options& o) { return o.deleteEvery > 0 && i % o.deleteEvery == 1; }

void snapshot(Db& db, const Options& o)
{
    if (o.snapshotBefore.isEmpty())
        return;
    QFile::remove(o.snapshotBefore);
    db.exec(QStringLiteral("VACUUM INTO ?"), {o.snapshotBefore});
}

// Ends the inserts and deletes the rows the options pick, each by its rowid: a deleted row's
// record is expected back, a kept row's key is live text (and `kept` may edit it).
template <class R>
void deletePicked(Db& db, const Options& o, Expected* e, const std::vector<std::pair<qint64, R>>& rows, const QString& deleteById,
                  std::vector<R>& expected, const std::function<QString(const R&)>& liveKey,
                  const std::function<void(int, qint64)>& kept = {})
{
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);
    for (int i = 0; i < int(rows.size()); ++i) {
        const auto& [rowid, record] = rows[size_t(i)];
        if (shouldDelete(i, o)) {
            db.exec(deleteById, {rowid});
            expected.push_back(record);
        } else {
            e->liveTexts << liveKey(record);
            if (kept)
                kept(i, rowid);
        }
    }
}

// Walls between insert batches: in WAL mode some batches are checkpointed into the main file,
// later ones stay only in the WAL, and every deletion is a commit of its own.
void commitBatch(Db& db, const Options& o, int batch)
{
    db.exec(QStringLiteral("COMMIT"));
    if (o.journal == Journal::Wal && batch % 2 == 0)
        db.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    db.exec(QStringLiteral("BEGIN"));
}

// ---- address book ------------------------------------------------------------------------------

QString fill(const char* what, int i) { return QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(i); }

void buildAddressBook(Db& db, const Options& o, Expected* e)
{
    db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QStringLiteral("AddressBook.sqlitedb")), &e->warnings);
    const QStringList labels = {QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("_$!<Home>!$_"),
                                QStringLiteral("_$!<Work>!$_"), QStringLiteral("Summer house")};
    const QStringList readable = {QStringLiteral("mobile"), QStringLiteral("home"), QStringLiteral("work"),
                                  QStringLiteral("Summer house")};
    for (const QString& l : labels)
        db.exec(QStringLiteral("INSERT INTO ABMultiValueLabel (value) VALUES (?)"), {l});
    const QStringList keys = {QStringLiteral("Street"), QStringLiteral("City"), QStringLiteral("ZIP"),
                              QStringLiteral("Country")};
    for (const QString& k : keys)
        db.exec(QStringLiteral("INSERT INTO ABMultiValueEntryKey (value) VALUES (?)"), {k});

    struct Person {
        qint64 rowid;
        ExpectedPerson exp;
        std::vector<qint64> uids;
    };
    std::vector<Person> people;
    db.exec(QStringLiteral("BEGIN"));
    for (int i = 0; i < o.rows; ++i) {
        Person p;
        PersonRecord& r = p.exp.person;
        r.first = QStringLiteral("Firstname%1").arg(i);
        r.last = fill("Lastname", i);
        if (i % 2 == 0) {
            r.middle = fill("Middle", i);
            r.prefix = QStringLiteral("Dr.");
            r.suffix = QStringLiteral("Jr.");
            r.nickname = fill("Nick", i);
            r.firstPhonetic = fill("FirstPh", i);
            r.middlePhonetic = fill("MiddlePh", i);
            r.lastPhonetic = fill("LastPh", i);
            r.jobTitle = fill("Engineer", i);
            r.department = fill("Department", i);
        }
        r.organization = fill("Company", i);
        r.note = QStringLiteral("Note of person %1: ").arg(i) + QString(20 + (i * 7) % 60, QLatin1Char('n'));
        auto nz = [](const QString& s) { return s.isEmpty() ? QVariant() : QVariant(s); };
        db.exec(QStringLiteral("INSERT INTO ABPerson (First, Last, Middle, Prefix, Suffix, Nickname, FirstPhonetic, "
                               "MiddlePhonetic, LastPhonetic, JobTitle, Organization, Department, Note, Kind, StoreID, "
                               "CreationDate, ModificationDate) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,0,0,?,?)"),
                {nz(r.first), nz(r.last), nz(r.middle), nz(r.prefix), nz(r.suffix), nz(r.nickname),
                 nz(r.firstPhonetic), nz(r.middlePhonetic), nz(r.lastPhonetic), nz(r.jobTitle), nz(r.organization),
                 nz(r.department), nz(r.note), 400000000 + i, 400000000 + i});
        p.rowid = db.lastId();
        auto addValue = [&](int property, int label, const QString& value, const QMap<QString, QString>& parts) {
            const int identifier = int(p.uids.size());
            db.exec(QStringLiteral("INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
                                   "VALUES (?,?,?,?,?)"),
                    {p.rowid, property, identifier, label + 1, value.isEmpty() ? QVariant() : QVariant(value)});
            const qint64 uid = db.lastId();
            for (auto it = parts.begin(); it != parts.end(); ++it)
                db.exec(QStringLiteral("INSERT INTO ABMultiValueEntry (parent_id, key, value) VALUES (?,?,?)"),
                        {uid, keys.indexOf(it.key()) + 1, it.value()});
            p.uids.push_back(uid);
            PersonPropertyRecord prop;
            prop.type = property;
            prop.identifier = identifier;
            prop.label = readable[label];
            prop.value = value;
            prop.valueEntry = parts;
            p.exp.properties.push_back(prop);
        };
        addValue(3, 0, QStringLiteral("+1 555 01%1").arg(i, 3, 10, QLatin1Char('0')), {});
        if (i % 2 == 1)
            addValue(3, 3, QStringLiteral("+1 555 02%1").arg(i, 3, 10, QLatin1Char('0')), {});
        addValue(4, 1, QStringLiteral("person%1@example.com").arg(i), {});
        if (i % 3 != 2)
            addValue(5, 2, QString(),
                     {{QStringLiteral("Street"), QStringLiteral("%1 Long Street").arg(i)},
                      {QStringLiteral("City"), QStringLiteral("City%1").arg(i)},
                      {QStringLiteral("ZIP"), QStringLiteral("%1").arg(10000 + i)}});
        if (i % 4 == 0)
            addValue(22, 2, QStringLiteral("https://example.com/person/%1").arg(i), {});
        people.push_back(std::move(p));
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);

    for (int i = 0; i < int(people.size()); ++i) {
        Person& p = people[size_t(i)];
        if (shouldDelete(i, o)) {
            for (qint64 uid : p.uids) {
                db.exec(QStringLiteral("DELETE FROM ABMultiValueEntry WHERE parent_id = ?"), {uid});
                db.exec(QStringLiteral("DELETE FROM ABMultiValue WHERE UID = ?"), {uid});
            }
            db.exec(QStringLiteral("DELETE FROM ABPerson WHERE ROWID = ?"), {p.rowid});
            e->people.push_back(p.exp);
            continue;
        }
        e->liveTexts << p.exp.person.first;
        if (o.editSome && i % 5 == 2) {
            // The note before the edit must not come back as a deleted person.
            db.exec(QStringLiteral("UPDATE ABPerson SET Note = ? WHERE ROWID = ?"),
                    {QStringLiteral("Edited note %1").arg(i), p.rowid});
        }
        if (i % 6 == 0 && p.uids.size() > 1) {
            // A live person loses the first phone number.
            db.exec(QStringLiteral("DELETE FROM ABMultiValue WHERE UID = ?"), {p.uids.front()});
            ExpectedPerson lost;
            lost.person = p.exp.person;
            if (o.editSome && i % 5 == 2)
                lost.person.note = QStringLiteral("Edited note %1").arg(i);
            lost.properties.push_back(p.exp.properties.front());
            lost.personDeleted = false;
            e->people.push_back(lost);
        }
    }
}

// ---- messages ----------------------------------------------------------------------------------

// Drops the indexes of the message tables (not those SQLite keeps for their own constraints).
void dropMessageIndexes(Db& db)
{
    QStringList names;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.handle(),
                           "SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL AND tbl_name IN "
                           "('message', 'chat_message_join', 'message_attachment_join')",
                           -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW)
            names << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    for (const QString& name : names)
        db.exec(QStringLiteral("DROP INDEX \"%1\"").arg(name));
}

void buildChatMessages(Db& db, const Options& o, Expected* e)
{
    db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QStringLiteral("sms.db")), &e->warnings);
    if (!o.messageIndexes)
        dropMessageIndexes(db);
    const int chats = 6;
    std::vector<QStringList> chatAddresses(chats);
    std::vector<std::vector<qint64>> chatHandles(chats);
    std::map<QString, qint64> handleIds;
    db.exec(QStringLiteral("BEGIN"));
    auto handleFor = [&](const QString& id) {
        auto it = handleIds.find(id);
        if (it != handleIds.end())
            return it->second;
        const bool mail = id.contains(QLatin1Char('@'));
        db.exec(QStringLiteral("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'us', ?, ?)"),
                {id, mail ? QStringLiteral("iMessage") : QStringLiteral("SMS"), id});
        return handleIds[id] = db.lastId();
    };
    for (int c = 0; c < chats; ++c) {
        // The first partner is a contact of the sample address book (John, home number).
        QStringList ids = {c == 0 ? QStringLiteral("+14155550199") : QStringLiteral("+1555100%1").arg(c)};
        if (c % 3 == 2)
            ids << QStringLiteral("friend%1@example.com").arg(c);
        // As on the device: a one-to-one chat (style 45) is named after its partner, a group chat
        // (style 43) after its room, which its messages cache in cache_roomnames.
        const bool group = ids.size() > 1;
        const QString room = QStringLiteral("chat%1").arg(738201450 + c);
        db.exec(QStringLiteral("INSERT INTO chat (guid, style, state, chat_identifier, service_name, room_name) "
                               "VALUES (?, ?, 3, ?, ?, ?)"),
                {QStringLiteral("SMS;%1;%2").arg(group ? QStringLiteral("+") : QStringLiteral("-"), group ? room : ids.front()),
                 group ? 43 : 45, group ? room : ids.front(), QStringLiteral("SMS"), group ? QVariant(room) : QVariant()});
        const qint64 chat = db.lastId();
        for (const QString& id : ids) {
            const qint64 h = handleFor(id);
            db.exec(QStringLiteral("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)"), {chat, h});
            chatHandles[size_t(c)].push_back(h);
        }
        chatAddresses[size_t(c)] = ids;
    }
    struct Msg {
        qint64 rowid;
        int chat;
        std::vector<qint64> attachments;
        ExpectedMessage exp;
    };
    std::vector<Msg> msgs;
    const int lostChat = chats - 1; // deleted whole, participants included
    for (int i = 0; i < o.rows; ++i) {
        Msg m;
        m.chat = i % chats;
        const bool fromMe = i % 3 == 0;
        const auto& handles = chatHandles[size_t(m.chat)];
        const qint64 handle = handles[size_t(i) % handles.size()];
        const QString address = chatAddresses[size_t(m.chat)][int(size_t(i) % handles.size())];
        const bool withAttachment = i % 5 == 0;
        const QString body = withAttachment ? QStringLiteral("Look at this %1 ").arg(i) + kObjectReplacement
                                            : QStringLiteral("Message %1 says hello ").arg(i) + QString(i % 40, QLatin1Char('x'));
        const int date = (o.firstMessageDate != 0 ? o.firstMessageDate : 400000000) + i * 600;
        const qint64 stored = o.messageNanoseconds ? qint64(date) * 1000000000 : qint64(date);
        const QString service = address.contains(QLatin1Char('@')) ? QStringLiteral("iMessage") : QStringLiteral("SMS");
        db.exec(QStringLiteral("INSERT INTO message (guid, text, handle_id, subject, service, date, is_from_me, is_sent, "
                               "is_delivered, is_finished, error) VALUES (?,?,?,?,?,?,?,?,1,1,0)"),
                {QUuid::createUuid().toString(), body, handle, i % 7 == 0 ? QVariant(QStringLiteral("Subject %1").arg(i)) : QVariant(),
                 service, stored, fromMe ? 1 : 0, fromMe ? 1 : 0});
        m.rowid = db.lastId();
        db.exec(QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)"), {m.chat + 1, m.rowid});
        MessageRecord& r = m.exp.message;
        r.service = service == QLatin1String("SMS") ? 0 : 1;
        r.address = address;
        r.date = date;
        r.subject = i % 7 == 0 ? QStringLiteral("Subject %1").arg(i) : QString();
        r.fromMe = fromMe ? 1 : 0;
        r.text = body;
        if (withAttachment) {
            const QString file = QStringLiteral("~/Library/SMS/Attachments/%1/IMG_%2.JPG").arg(i % 16, 2, 16, QLatin1Char('0')).arg(i);
            // The device stamps an attachment with the time its message was sent or received.
            db.exec(QStringLiteral("INSERT INTO attachment (guid, created_date, filename, mime_type) VALUES (?,?,?,?)"),
                    {QUuid::createUuid().toString(), date, file, QStringLiteral("image/jpeg")});
            const qint64 a = db.lastId();
            db.exec(QStringLiteral("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)"),
                    {m.rowid, a});
            m.attachments.push_back(a);
            r.pieces.push_back({1, QStringLiteral("Look at this %1").arg(i)});
            r.pieces.push_back({0, file});
        }
        m.exp.groupAddresses = chatAddresses[size_t(m.chat)];
        msgs.push_back(std::move(m));
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);

    for (int i = 0; i < int(msgs.size()); ++i) {
        Msg& m = msgs[size_t(i)];
        if (!shouldDelete(i, o) && m.chat != lostChat) {
            e->liveTexts << m.exp.message.text;
            continue;
        }
        for (qint64 a : m.attachments) {
            db.exec(QStringLiteral("DELETE FROM message_attachment_join WHERE attachment_id = ?"), {a});
            db.exec(QStringLiteral("DELETE FROM attachment WHERE ROWID = ?"), {a});
        }
        db.exec(QStringLiteral("DELETE FROM chat_message_join WHERE message_id = ?"), {m.rowid});
        db.exec(QStringLiteral("DELETE FROM message WHERE ROWID = ?"), {m.rowid});
        e->messages.push_back(m.exp);
    }
    db.exec(QStringLiteral("DELETE FROM chat_handle_join WHERE chat_id = ?"), {lostChat + 1});
    db.exec(QStringLiteral("DELETE FROM chat WHERE ROWID = ?"), {lostChat + 1});
    for (qint64 h : chatHandles[size_t(lostChat)])
        db.exec(QStringLiteral("DELETE FROM handle WHERE ROWID = ?"), {h});
    if (o.editSome)
        db.exec(QStringLiteral("UPDATE message SET is_read = 1, date_read = date + 60 WHERE ROWID % 4 = 0"));
}

void buildGroupMessages(Db& db, const Options& o, Expected* e)
{
    db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QStringLiteral("sms.db")), &e->warnings);
    const int groups = 5;
    std::vector<QString> groupAddress(groups);
    db.exec(QStringLiteral("BEGIN"));
    for (int g = 0; g < groups; ++g) {
        db.exec(QStringLiteral("INSERT INTO msg_group (type, newest_message, unread_count, hash) VALUES (0, 0, 0, ?)"), {g});
        groupAddress[size_t(g)] = QStringLiteral("+1555200%1").arg(g);
        db.exec(QStringLiteral("INSERT INTO group_member (group_id, address, country) VALUES (?, ?, 'us')"),
                {g + 1, groupAddress[size_t(g)]});
    }
    struct Msg {
        qint64 rowid;
        int group;
        ExpectedMessage exp;
    };
    std::vector<Msg> msgs;
    const int lostGroup = groups - 1;
    for (int i = 0; i < o.rows; ++i) {
        Msg m;
        m.group = i % groups;
        const QString address = groupAddress[size_t(m.group)];
        const bool fromMe = i % 2 == 0;
        const bool madrid = i % 7 == 3;
        const bool mms = !madrid && i % 5 == 0;
        MessageRecord& r = m.exp.message;
        r.address = address;
        r.fromMe = fromMe ? 1 : 0;
        r.service = madrid ? 1 : 0;
        r.date = madrid ? 330000000 + i * 600 : 1300000000 + i * 600;
        if (madrid) {
            r.text = QStringLiteral("iMessage %1 text").arg(i);
            db.exec(QStringLiteral("INSERT INTO message (address, date, text, flags, group_id, is_madrid, madrid_handle, "
                                   "madrid_flags, madrid_error, read) VALUES (NULL, ?, ?, 0, ?, 1, ?, ?, 0, 1)"),
                    {r.date, r.text, m.group + 1, address, fromMe ? 36869 : 12289});
        } else if (mms) {
            db.exec(QStringLiteral("INSERT INTO message (address, date, text, flags, group_id, is_madrid, read) "
                                   "VALUES (?, ?, NULL, ?, ?, 0, 1)"),
                    {address, r.date, fromMe ? 3 : 2, m.group + 1});
        } else {
            r.text = QStringLiteral("Short message %1 ").arg(i) + QString(i % 30, QLatin1Char('s'));
            db.exec(QStringLiteral("INSERT INTO message (address, date, text, flags, group_id, is_madrid, read) "
                                   "VALUES (?, ?, ?, ?, ?, 0, 1)"),
                    {address, r.date, r.text, fromMe ? 3 : 2, m.group + 1});
        }
        m.rowid = db.lastId();
        if (mms) {
            const QString partText = QStringLiteral("Picture message %1").arg(i);
            db.exec(QStringLiteral("INSERT INTO msg_pieces (message_id, data, part_id, content_type, content_loc) "
                                   "VALUES (?, ?, 0, 'text/plain', 'text_0.txt')"),
                    {m.rowid, partText.toUtf8()});
            const QString image = QStringLiteral("IMG_%1.jpg").arg(1000 + i);
            db.exec(QStringLiteral("INSERT INTO msg_pieces (message_id, data, part_id, content_type, content_loc) "
                                   "VALUES (?, NULL, 1, 'image/jpeg', ?)"),
                    {m.rowid, image});
            r.pieces.push_back({1, partText});
            r.pieces.push_back({0, image});
        }
        m.exp.groupAddresses = {address};
        msgs.push_back(std::move(m));
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);
    for (int i = 0; i < int(msgs.size()); ++i) {
        Msg& m = msgs[size_t(i)];
        if (!shouldDelete(i, o) && m.group != lostGroup) {
            if (!m.exp.message.text.isEmpty())
                e->liveTexts << m.exp.message.text;
            continue;
        }
        db.exec(QStringLiteral("DELETE FROM message WHERE ROWID = ?"), {m.rowid}); // its pieces go by trigger
        db.exec(QStringLiteral("DELETE FROM msg_pieces WHERE message_id = ?"), {m.rowid});
        e->messages.push_back(m.exp);
    }
    db.exec(QStringLiteral("DELETE FROM group_member WHERE group_id = ?"), {lostGroup + 1});
    db.exec(QStringLiteral("DELETE FROM msg_group WHERE ROWID = ?"), {lostGroup + 1});
}

// ---- calls -------------------------------------------------------------------------------------

void buildCalls(Db& db, const Options& o, Expected* e)
{
    db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QStringLiteral("call_history.db")), &e->warnings);
    db.exec(QStringLiteral("BEGIN"));
    std::vector<std::pair<qint64, CallhistoryRecord>> calls;
    for (int i = 0; i < o.rows; ++i) {
        CallhistoryRecord c;
        c.address = QStringLiteral("+1555300%1").arg(i, 3, 10, QLatin1Char('0'));
        c.date = 1300000000 + i * 3600;
        c.duration = i % 4 == 0 ? 0 : 30 + i;
        c.flags = (i % 2) | (i % 6 == 5 ? 16 : 0) | 4;
        db.exec(QStringLiteral("INSERT INTO call (address, date, duration, flags, id, name, country_code) "
                               "VALUES (?, ?, ?, ?, -1, ?, '310')"),
                {c.address, c.date, c.duration, c.flags, i % 3 == 0 ? QVariant(fill("Caller", i)) : QVariant()});
        calls.emplace_back(db.lastId(), c);
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    deletePicked<CallhistoryRecord>(db, o, e, calls, QStringLiteral("DELETE FROM call WHERE ROWID = ?"), e->calls,
                                    [](const CallhistoryRecord& c) { return c.address; });
    if (o.editSome)
        db.exec(QStringLiteral("UPDATE call SET name = 'Edited name' WHERE ROWID % 3 = 0"));
}

// ---- calendar ----------------------------------------------------------------------------------

// The older calendar layout: events and tasks in tables of their own.
const char* const kOldCalendar[] = {
    "CREATE TABLE Calendar (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, title TEXT, flags INTEGER, color TEXT, "
    "type TEXT, supported_entity_types INTEGER, external_id TEXT)",
    "CREATE TABLE Event (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, summary TEXT, location TEXT, description TEXT, "
    "start_date REAL, start_tz TEXT, end_date REAL, all_day INTEGER, calendar_id INTEGER, orig_event_id INTEGER, "
    "orig_start_date REAL, organizer_id INTEGER, status INTEGER, availability INTEGER, url TEXT, "
    "last_modified REAL, unique_identifier TEXT, hidden INTEGER)",
    "CREATE TABLE Task (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, title TEXT, notes TEXT, location TEXT, "
    "due_date REAL, due_tz TEXT, completed_date REAL, priority INTEGER, calendar_id INTEGER, "
    "external_id TEXT, last_modified REAL)",
};

// Layouts older than iOS 6 are not among the shipped ones: they come from `oldLayout`.
template <size_t N>
bool applyLayout(Db& db, const Options& o, const char* const (&oldLayout)[N], const char* database, Expected* e)
{
    const bool old = o.iosMajor < 6;
    if (old) {
        for (const char* s : oldLayout)
            if (!db.exec(QString::fromLatin1(s)))
                e->warnings << db.error();
    } else {
        db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QString::fromLatin1(database)), &e->warnings);
    }
    return old;
}

void buildCalendar(Db& db, const Options& o, Expected* e)
{
    const bool old = applyLayout(db, o, kOldCalendar, "Calendar.sqlitedb", e);
    db.exec(QStringLiteral("BEGIN"));
    db.exec(QStringLiteral("INSERT INTO Calendar (title, supported_entity_types) VALUES ('Home', 4)"));
    db.exec(QStringLiteral("INSERT INTO Calendar (title, supported_entity_types) VALUES ('DEFAULT_TASK_CALENDAR_NAME', 8)"));
    db.exec(QStringLiteral("INSERT INTO Calendar (title, supported_entity_types) VALUES ('Errands', 8)"));
    const QString itemTable = old ? QStringLiteral("Event") : QStringLiteral("CalendarItem");
    struct Item {
        QString table;
        qint64 rowid;
        qint64 location = 0;
        bool reminder;
        int index;
    };
    std::vector<Item> items;
    for (int i = 0; i < o.rows; ++i) {
        const bool reminder = i % 3 == 2;
        Item it{QString(), 0, 0, reminder, i};
        const QString location = i % 2 == 0 ? QStringLiteral("Place %1").arg(i) : QString();
        if (!reminder) {
            CalendarRecord c;
            c.summary = QStringLiteral("Event %1").arg(i);
            c.location = location;
            c.description = i % 4 == 1 ? QString() : QStringLiteral("Details of event %1 ").arg(i) + QString(i % 25, QLatin1Char('d'));
            c.allDay = i % 5 == 0 ? 1 : 0;
            c.start = 400000000 + i * 86400;
            c.end = c.start + (c.allDay ? 86400 : 3600);
            if (old) {
                it.table = QStringLiteral("Event");
                db.exec(QStringLiteral("INSERT INTO Event (summary, location, description, start_date, end_date, all_day, "
                                       "calendar_id) VALUES (?,?,?,?,?,?,1)"),
                        {c.summary, location.isEmpty() ? QVariant() : QVariant(location),
                         c.description.isEmpty() ? QVariant() : QVariant(c.description), double(c.start), double(c.end), c.allDay});
                it.rowid = db.lastId();
            } else {
                it.table = QStringLiteral("CalendarItem");
                db.exec(QStringLiteral("INSERT INTO CalendarItem (summary, description, start_date, end_date, all_day, "
                                       "calendar_id, entity_type, priority, hidden, has_recurrences, has_attendees) "
                                       "VALUES (?,?,?,?,?,1,2,0,0,0,0)"),
                        {c.summary, c.description.isEmpty() ? QVariant() : QVariant(c.description), double(c.start),
                         double(c.end), c.allDay});
                it.rowid = db.lastId();
                if (!location.isEmpty()) {
                    db.exec(QStringLiteral("INSERT INTO Location (title, item_owner_id) VALUES (?, ?)"), {location, it.rowid});
                    it.location = db.lastId();
                    db.exec(QStringLiteral("UPDATE CalendarItem SET location_id = ? WHERE ROWID = ?"), {it.location, it.rowid});
                }
            }
            if (shouldDelete(i, o))
                e->events.push_back(c);
            else
                e->liveTexts << c.summary;
        } else {
            ReminderRecord r;
            r.title = QStringLiteral("Reminder %1").arg(i);
            r.location = location;
            const int list = i % 2 == 0 ? 2 : 3;
            r.listName = list == 2 ? QStringLiteral("Reminders") : QStringLiteral("Errands");
            r.notes = QStringLiteral("Remember %1 ").arg(i) + QString(i % 20, QLatin1Char('r'));
            r.dueDate = i % 4 == 0 ? 0 : 400000000 + i * 86400;
            r.completion = i % 3 == 0 ? 400000000 + i * 86400 + 100 : 0;
            r.priority = QList<int>{0, 1, 5, 9, 7}[i % 5];
            auto nz = [](int v) { return v ? QVariant(double(v)) : QVariant(); };
            if (old) {
                it.table = QStringLiteral("Task");
                db.exec(QStringLiteral("INSERT INTO Task (title, notes, location, due_date, completed_date, priority, "
                                       "calendar_id) VALUES (?,?,?,?,?,?,?)"),
                        {r.title, r.notes, location.isEmpty() ? QVariant() : QVariant(location), nz(r.dueDate),
                         nz(r.completion), r.priority, list});
                it.rowid = db.lastId();
            } else {
                it.table = QStringLiteral("CalendarItem");
                db.exec(QStringLiteral("INSERT INTO CalendarItem (summary, description, due_date, completion_date, "
                                       "priority, calendar_id, entity_type, all_day, hidden, has_recurrences, "
                                       "has_attendees) VALUES (?,?,?,?,?,?,3,0,0,0,0)"),
                        {r.title, r.notes, nz(r.dueDate), nz(r.completion), r.priority, list});
                it.rowid = db.lastId();
                if (!location.isEmpty()) {
                    db.exec(QStringLiteral("INSERT INTO Location (title, item_owner_id) VALUES (?, ?)"), {location, it.rowid});
                    it.location = db.lastId();
                    db.exec(QStringLiteral("UPDATE CalendarItem SET location_id = ? WHERE ROWID = ?"), {it.location, it.rowid});
                }
            }
            if (shouldDelete(i, o))
                e->reminders.push_back(r);
            else
                e->liveTexts << r.title;
        }
        items.push_back(it);
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);
    for (const Item& it : items) {
        if (!shouldDelete(it.index, o)) {
            if (o.editSome && it.index % 5 == 3)
                db.exec(QStringLiteral("UPDATE %1 SET last_modified = ? WHERE ROWID = ?").arg(it.table),
                        {500000000.0, it.rowid});
            continue;
        }
        if (it.location)
            db.exec(QStringLiteral("DELETE FROM Location WHERE ROWID = ?"), {it.location});
        db.exec(QStringLiteral("DELETE FROM %1 WHERE ROWID = ?").arg(it.table), {it.rowid});
    }
}

// ---- notes -------------------------------------------------------------------------------------

const char* const kOldNotes[] = {
    "CREATE TABLE Note (creation_date INTEGER, title TEXT, summary TEXT, contains_cjk INTEGER, "
    "modification_date INTEGER, ROWID INTEGER PRIMARY KEY AUTOINCREMENT)",
    "CREATE TABLE note_bodies (note_id INTEGER UNIQUE, data, FOREIGN KEY (note_id) REFERENCES Note(ROWID) ON DELETE CASCADE)",
};

void buildNotes(Db& db, const Options& o, Expected* e)
{
    const bool old = applyLayout(db, o, kOldNotes, "notes.sqlite", e);
    db.exec(QStringLiteral("BEGIN"));
    struct N {
        qint64 note, body;
        NoteRecord exp;
    };
    std::vector<N> notes;
    for (int i = 0; i < o.rows; ++i) {
        N n;
        n.exp.title = QStringLiteral("Note title %1").arg(i);
        n.exp.date = 420000000 + i * 3600;
        // As on the device, the title is the body's first line.
        n.exp.content = QStringLiteral("<div>Note title %1</div><div>").arg(i) + QString(10 + (i * 37) % 300, QLatin1Char('b'))
                        + QStringLiteral("<br></div>");
        if (old) {
            db.exec(QStringLiteral("INSERT INTO Note (creation_date, title, summary, contains_cjk, modification_date) "
                                   "VALUES (?, ?, ?, 0, ?)"),
                    {n.exp.date - 100, n.exp.title, QStringLiteral("Summary %1").arg(i), n.exp.date});
            n.note = db.lastId();
            db.exec(QStringLiteral("INSERT INTO note_bodies (note_id, data) VALUES (?, ?)"), {n.note, n.exp.content});
            n.body = db.lastId();
        } else {
            n.note = 1000 + i;
            n.body = 5000 + i;
            db.exec(QStringLiteral("INSERT INTO ZNOTE (Z_PK, Z_ENT, Z_OPT, ZBODY, ZCREATIONDATE, ZMODIFICATIONDATE, ZTITLE, "
                                   "ZSUMMARY, ZDELETEDFLAG, ZCONTAINSCJK) VALUES (?, 2, 1, ?, ?, ?, ?, ?, 0, 0)"),
                    {n.note, n.body, double(n.exp.date - 100) + 0.25, double(n.exp.date) + 0.5, n.exp.title,
                     QStringLiteral("Summary %1").arg(i)});
            db.exec(QStringLiteral("INSERT INTO ZNOTEBODY (Z_PK, Z_ENT, Z_OPT, ZOWNER, ZCONTENT) VALUES (?, 3, 1, ?, ?)"),
                    {n.body, n.note, n.exp.content});
        }
        notes.push_back(n);
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    db.exec(QStringLiteral("COMMIT"));
    snapshot(db, o);
    for (int i = 0; i < int(notes.size()); ++i) {
        const N& n = notes[size_t(i)];
        if (!shouldDelete(i, o)) {
            e->liveTexts << n.exp.title;
            if (o.editSome && i % 5 == 3) {
                const QString edited = QStringLiteral("<div>Edited body %1</div>").arg(i);
                if (old)
                    db.exec(QStringLiteral("UPDATE note_bodies SET data = ? WHERE note_id = ?"), {edited, n.note});
                else
                    db.exec(QStringLiteral("UPDATE ZNOTEBODY SET ZCONTENT = ? WHERE Z_PK = ?"), {edited, n.body});
            }
            continue;
        }
        if (old) {
            db.exec(QStringLiteral("DELETE FROM note_bodies WHERE note_id = ?"), {n.note});
            db.exec(QStringLiteral("DELETE FROM Note WHERE ROWID = ?"), {n.note});
        } else {
            db.exec(QStringLiteral("DELETE FROM ZNOTEBODY WHERE Z_PK = ?"), {n.body});
            db.exec(QStringLiteral("DELETE FROM ZNOTE WHERE Z_PK = ?"), {n.note});
        }
        e->notes.push_back(n.exp);
    }
}

// ---- bookmarks ---------------------------------------------------------------------------------

void buildBookmarks(Db& db, const Options& o, Expected* e)
{
    db.applySchema(ibr::iosSchemaStatements(o.iosMajor, QStringLiteral("Bookmarks.db")), &e->warnings);
    db.exec(QStringLiteral("BEGIN"));
    db.exec(QStringLiteral("INSERT INTO bookmarks (id, special_id, parent, type, title, num_children, order_index) "
                           "VALUES (0, 0, NULL, 1, 'Root', 0, 0)"));
    db.exec(QStringLiteral("INSERT INTO bookmarks (id, special_id, parent, type, title, num_children, order_index) "
                           "VALUES (1, 1, 0, 1, 'BookmarksBar', 0, 0)"));
    db.exec(QStringLiteral("INSERT INTO bookmarks (id, special_id, parent, type, title, num_children, order_index) "
                           "VALUES (2, 0, 0, 1, 'Travel', 0, 1)"));
    std::vector<std::pair<qint64, BookmarkRecord>> marks;
    for (int i = 0; i < o.rows; ++i) {
        BookmarkRecord b{i % 6 == 4 ? QString() : QStringLiteral("Bookmark %1").arg(i),
                         QStringLiteral("https://site%1.example.org/path/%2").arg(i).arg(QString(i % 30, QLatin1Char('p')))};
        db.exec(QStringLiteral("INSERT INTO bookmarks (parent, type, title, url, order_index, external_uuid) "
                               "VALUES (?, 0, ?, ?, ?, ?)"),
                {i % 2 ? 1 : 2, b.title.isEmpty() ? QVariant() : QVariant(b.title), b.url, i,
                 QUuid::createUuid().toString()});
        const qint64 id = db.lastId();
        db.exec(QStringLiteral("INSERT INTO bookmark_title_words (bookmark_id, word, word_index) VALUES (?, ?, 0)"),
                {id, QStringLiteral("bookmark")});
        marks.emplace_back(id, b);
        if (i % 16 == 15)
            commitBatch(db, o, i / 16);
    }
    deletePicked<BookmarkRecord>(db, o, e, marks, QStringLiteral("DELETE FROM bookmarks WHERE id = ?"), e->bookmarks,
                                 [](const BookmarkRecord& b) { return b.url; },
                                 [&](int i, qint64 id) {
                                     if (o.editSome && i % 5 == 0)
                                         db.exec(QStringLiteral("UPDATE bookmarks SET order_index = order_index + 100 WHERE id = ?"), {id});
                                 });
}

} // namespace

QString databaseName(int type, int iosMajor)
{
    switch (type) {
    case 0:
        return QStringLiteral("AddressBook.sqlitedb");
    case 1:
        return QStringLiteral("sms.db");
    case 2:
        return QStringLiteral("call_history.db");
    case 3:
        return QStringLiteral("Calendar.sqlitedb");
    case 4:
        return iosMajor < 6 ? QStringLiteral("notes.db") : QStringLiteral("notes.sqlite");
    case 5:
        return QStringLiteral("Bookmarks.db");
    default:
        return QString();
    }
}

std::vector<int> versionsFor(int type)
{
    switch (type) {
    case 0:
        return {5, 8};
    case 1:
        return {5, 6, 8, 9};
    case 2:
        return {5, 6, 8, 9};
    case 3:
        return {4, 6, 7, 8, 9};
    case 4:
        return {4, 6, 8, 9};
    case 5:
        return {8};
    default:
        return {};
    }
}

QString generate(int type, const QString& folder, const Options& options, Expected* expected)
{
    Expected scratch;
    Expected* e = expected ? expected : &scratch;
    *e = Expected();
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(databaseName(type, options.iosMajor));
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(path + QLatin1String(suffix));
    Db db;
    if (!db.open(path, options.journal))
        return QString();
    switch (type) {
    case 0:
        buildAddressBook(db, options, e);
        break;
    case 1:
        if (options.iosMajor < 6)
            buildGroupMessages(db, options, e);
        else
            buildChatMessages(db, options, e);
        break;
    case 2:
        buildCalls(db, options, e);
        break;
    case 3:
        buildCalendar(db, options, e);
        break;
    case 4:
        buildNotes(db, options, e);
        break;
    case 5:
        buildBookmarks(db, options, e);
        break;
    default:
        return QString();
    }
    e->warnings << db.failures();
    db.close();
    QFile::remove(path + QStringLiteral("-shm"));
    return path;
}

bool bytesSurvive(const QString& databasePath, const QString& marker)
{
    const QByteArray needle = marker.toUtf8();
    if (needle.isEmpty())
        return false;
    // A marker ending in a number must not be found as the start of a longer one ("Event 1"
    // inside "Event 10").
    const bool numbered = std::isdigit(uchar(needle.back()));
    for (const char* suffix : {"", "-wal", "-journal"}) {
        QFile f(databasePath + QLatin1String(suffix));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = f.readAll();
        for (qsizetype at = bytes.indexOf(needle); at >= 0; at = bytes.indexOf(needle, at + 1)) {
            const qsizetype after = at + needle.size();
            if (!numbered || after >= bytes.size() || !std::isdigit(uchar(bytes[after])))
                return true;
        }
    }
    return false;
}

namespace {

sqlcarve::Value toValue(sqlite3_stmt* st, int i)
{
    sqlcarve::Value v;
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
        v.kind = sqlcarve::Value::Kind::Integer;
        v.integer = sqlite3_column_int64(st, i);
        break;
    case SQLITE_FLOAT:
        v.kind = sqlcarve::Value::Kind::Real;
        v.real = sqlite3_column_double(st, i);
        break;
    case SQLITE_TEXT:
        v.kind = sqlcarve::Value::Kind::Text;
        v.bytes.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), size_t(sqlite3_column_bytes(st, i)));
        break;
    case SQLITE_BLOB:
        v.kind = sqlcarve::Value::Kind::Blob;
        v.bytes.assign(static_cast<const char*>(sqlite3_column_blob(st, i)), size_t(sqlite3_column_bytes(st, i)));
        break;
    default:
        v.kind = sqlcarve::Value::Kind::Null;
    }
    return v;
}

bool sameValues(const std::vector<sqlcarve::Value>& a, const std::vector<sqlcarve::Value>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].integer != b[i].integer || a[i].real != b[i].real || a[i].bytes != b[i].bytes)
            return false;
    return true;
}

} // namespace

sqlcarve::Result oracleCarve(const QString& before, const QString& after)
{
    sqlcarve::Result result;
    // Read-write so a WAL is read; closing must neither checkpoint nor delete it.
    auto openKeepingWal = [](const QString& path) {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        evidencedb::SqlitePtr db(raw);
        if (rc != SQLITE_OK)
            return evidencedb::SqlitePtr();
        sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        return db;
    };
    struct ShmRemover {
        QString before, after;
        ~ShmRemover()
        {
            QFile::remove(before + QStringLiteral("-shm"));
            QFile::remove(after + QStringLiteral("-shm"));
        }
    } shm{before, after}; // declared first: removed after both connections closed
    const evidencedb::SqlitePtr bOwner = openKeepingWal(before);
    const evidencedb::SqlitePtr aOwner = openKeepingWal(after);
    if (!bOwner || !aOwner)
        return result;
    sqlite3* b = bOwner.get();
    sqlite3* a = aOwner.get();
    result.ok = true;
    std::vector<std::string> names;
    for (evidencedb::Statement st(b, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' "
                                     "AND sql NOT LIKE '%WITHOUT ROWID%' AND sql NOT LIKE '%VIRTUAL%'");
         st.next();)
        names.emplace_back(st.text(0).toStdString());
    for (const std::string& name : names) {
        sqlcarve::Table t;
        t.name = name;
        {
            evidencedb::Statement table(b, QByteArray::fromStdString("PRAGMA table_info(\"" + name + "\")"));
            sqlite3_stmt* st = table.handle();
            int pkCount = 0;
            while (table.next()) {
                sqlcarve::Column c;
                c.name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
                const unsigned char* type = sqlite3_column_text(st, 2);
                c.declaredType = type ? reinterpret_cast<const char*>(type) : "";
                const int pk = sqlite3_column_int(st, 5);
                pkCount += pk ? 1 : 0;
                c.rowidAlias = pk == 1 && QString::fromStdString(c.declaredType).compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
                t.columns.push_back(c);
            }
            if (pkCount > 1)
                for (auto& c : t.columns)
                    c.rowidAlias = false;
        }
        const std::string select = "SELECT rowid, * FROM \"" + name + "\"";
        evidencedb::Statement allRows(b, QByteArray::fromStdString(select));
        evidencedb::Statement oneRow(a, QByteArray::fromStdString(select + " WHERE rowid = ?"));
        sqlite3_stmt* all = allRows.handle();
        sqlite3_stmt* one = oneRow.handle();
        while (allRows.next()) {
            sqlcarve::CarvedRow row;
            row.table = name;
            row.rowid = sqlite3_column_int64(all, 0);
            for (int i = 1; i < sqlite3_column_count(all); ++i)
                row.values.push_back(toValue(all, i));
            for (size_t i = 0; i < t.columns.size() && i < row.values.size(); ++i)
                if (t.columns[i].rowidAlias)
                    row.values[i] = sqlcarve::Value(); // stored as NULL in the record
            bool live = false;
            if (one) {
                sqlite3_reset(one);
                sqlite3_bind_int64(one, 1, *row.rowid);
                if (sqlite3_step(one) == SQLITE_ROW) {
                    std::vector<sqlcarve::Value> now;
                    for (int i = 1; i < sqlite3_column_count(one); ++i)
                        now.push_back(toValue(one, i));
                    for (size_t i = 0; i < t.columns.size() && i < now.size(); ++i)
                        if (t.columns[i].rowidAlias)
                            now[i] = sqlcarve::Value();
                    live = sameValues(now, row.values);
                }
            }
            if (!live)
                result.rows.push_back(std::move(row));
        }
        result.tables.push_back(std::move(t));
    }
    return result;
}

} // namespace iosrecgen
