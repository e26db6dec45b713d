#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Bodies of NoteStore.sqlite notes (iOS 9 on): ZICNOTEDATA.ZDATA is a gzip stream whose payload
// is a protobuf message holding the note's text and its attribute runs.
namespace notestore {

// Larger payloads are refused: a real note is a few hundred kilobytes at most, and a gzip
// stream of a few kilobytes can claim gigabytes.
constexpr qsizetype kMaxInflatedBytes = 64 * 1024 * 1024;

// The payload of a gzip or zlib stream, at most `cap` bytes; an empty array and a reason in
// `error` when the stream is broken, truncated or larger than `cap`.
QByteArray inflateBody(const QByteArray& compressed, QString* error, qsizetype cap = kMaxInflatedBytes);

// Attachment type (ZTYPEUTI) by attachment identifier (ZIDENTIFIER), for runs that name only the
// identifier.
using AttachmentTypes = QHash<QString, QString>;

// The note's text as the user reads it from a decompressed payload: checklist lines start with
// "[ ] " or "[x] ", attachments read "[attachment: <type>]". Empty, with a reason in `error`,
// when the payload is not a note. `types` may be null.
QString noteText(const QByteArray& payload, QString* error, const AttachmentTypes* types = nullptr);

// inflateBody then noteText.
QString bodyText(const QByteArray& compressed, QString* error, const AttachmentTypes* types = nullptr);

} // namespace notestore
