#include "BulkMessages.h"

#include <sqlite3.h>

#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"

namespace sample {

namespace {

// Binds the values in order and steps once; false on an error.
template <class... Values> bool insert(const evidencedb::Statement& st, const Values&... values)
{
    int i = 0;
    auto bind = [&](const auto& v) {
        ++i;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>)
            sqlite3_bind_int64(st.handle(), i, qint64(v));
        else
            sqlite3_bind_text(st.handle(), i, v.constData(), int(v.size()), SQLITE_TRANSIENT);
    };
    (bind(values), ...);
    const bool ok = sqlite3_step(st.handle()) == SQLITE_DONE;
    sqlite3_reset(st.handle());
    return ok;
}

} // namespace

bool writeBulkMessages(sqlite3* db, BulkMessages& bulk)
{
    auto exec = [db](const QString& sql) { return sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK; };
    for (const QString& s : ibr::iosSchemaStatements(8, QStringLiteral("sms.db")))
        if (!s.contains(QLatin1String("TRIGGER")) && !s.contains(QLatin1String("sqlite_")) && !exec(s))
            return false;
    exec(QStringLiteral("BEGIN"));
    const evidencedb::Statement handle(db, "INSERT INTO handle (ROWID, id, country, service) VALUES (?, ?, '', 'SMS')");
    const evidencedb::Statement chat(db, "INSERT INTO chat (ROWID, guid, chat_identifier) VALUES (?, ?, ?)");
    const evidencedb::Statement chj(db, "INSERT INTO chat_handle_join VALUES (?, ?)");
    const evidencedb::Statement message(db, "INSERT INTO message (ROWID, guid, text, handle_id, service, date, is_from_me, is_sent) "
                                            "VALUES (?, ?, ?, ?, 'SMS', ?, ?, ?)");
    const evidencedb::Statement cmj(db, "INSERT INTO chat_message_join VALUES (?, ?)");
    const evidencedb::Statement attachment(db, "INSERT INTO attachment (ROWID, guid, filename, mime_type) VALUES (?, ?, ?, 'image/jpeg')");
    const evidencedb::Statement maj(db, "INSERT INTO message_attachment_join VALUES (?, ?)");
    bool ok = true;
    for (int c = 1; c <= bulk.chats && ok; ++c) {
        const QByteArray id = "+1555" + QByteArray::number(1000000 + c);
        ok = insert(handle, c, id) && insert(chat, c, "SMS;-;" + id, id) && insert(chj, c, c);
    }
    const QString fffc(QChar(0xFFFC));
    bulk.attachmentPaths.clear();
    for (int m = 1; m <= bulk.messages && ok; ++m) {
        const int c = 1 + m % qMax(1, bulk.chats);
        const bool withFile = bulk.attachmentEvery > 0 && m % bulk.attachmentEvery == 0;
        const QByteArray text = (QStringLiteral("Message %1 of a long conversation, with some words in it ").arg(m)
                                 + (withFile ? fffc : QString())).toUtf8();
        ok = insert(message, m, QByteArray::number(m), text, c, 400000000LL + qint64(m) * 60, m % 2, m % 2) && insert(cmj, c, m);
        if (ok && withFile) {
            const QString path = QStringLiteral("Library/SMS/Attachments/%1/%2/IMG_%2.JPG").arg(m % 256, 2, 16, QLatin1Char('0')).arg(m);
            bulk.attachmentPaths << path;
            ok = insert(attachment, m, QByteArray::number(m), ("~/" + path).toUtf8()) && insert(maj, m, m);
        }
    }
    return exec(QStringLiteral("COMMIT")) && ok;
}

} // namespace sample
