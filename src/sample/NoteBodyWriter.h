#pragma once

// Note bodies as NoteStore.sqlite keeps them: a protobuf message (the text and its attribute
// runs) in a gzip stream. For the demo backup and the tests of the reader.

#include <QByteArray>
#include <QList>
#include <QString>

namespace sample::notebody {

QByteArray varint(quint64 v);
QByteArray field(quint32 number, quint64 value);
QByteArray field(quint32 number, const QByteArray& bytes);

// NoteStoreProto.document(2).note(3): the text(2) and its attribute runs(5), whose lengths count
// UTF-16 units.
QByteArray notePayload(const QString& text, const QList<QByteArray>& runs = {});
QByteArray plainRun(qsizetype length);
QByteArray checklistRun(qsizetype length, bool done);
QByteArray listRun(qsizetype length, int styleType, quint64 indent);
// A run holding an attachment: its identifier, and its type when `uti` is given.
QByteArray attachmentRun(qsizetype length, const QByteArray& identifier, const char* uti = nullptr);

QByteArray gzip(const QByteArray& data);

} // namespace sample::notebody
