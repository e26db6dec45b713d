#pragma once

// Reads the older message database (sms.db up to iOS 5) into kind-0 records. Columns a damaged
// or older file lacks read as NULL; without msg_pieces or madrid_attachment messages simply have
// no attachments.
//
//   message           ROWID, address, date, text, flags, group_id, subject, country,
//                     madrid_handle, madrid_flags, madrid_error, is_madrid
//   msg_group         ROWID: one conversation
//   group_member      ROWID, group_id -> msg_group.ROWID, address, country
//   msg_pieces        message_id -> message.ROWID, part_id, content_type, content_loc, data
//                     (the parts of an MMS)
//   madrid_attachment message_id -> message.ROWID, filename, mime_type, uti_type (iMessage)

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "contact/IBackupContact.h"
#include "RecordArena_p.h"

namespace contactdb {

// A stored message date as Unix seconds, clamped to int32. SMS rows hold Unix seconds, iMessage
// rows seconds since 2001-01-01; a value beyond 1e12 is nanoseconds since 2001 in either.
int32_t messageDate(double stored, bool iMessage);

// Where an MMS part's file lives under Library/SMS/Parts/<xx>/<yy>/: "<message>-<part>.<ext>",
// the extension taken from contentLoc, else from the content type; without either, no extension.
QByteArray partLocation(qint64 messageId, qint64 partId, const QByteArray& contentType,
                        const QByteArray& contentLoc);

class MessageReader
{
public:
    explicit MessageReader(RecordArena& arena) : m_arena(arena) {}

    // Null (with a log line) when the database cannot be opened or has no message table. An
    // empty or unreadable address book only leaves the participants unmatched. `hook` (may be
    // null) fetches attachment bytes.
    SmsRecordList* read(const QString& smsDb, const QString& addressBook, const PieceHook* hook);

private:
    RecordArena& m_arena;
};

} // namespace contactdb
