#pragma once

// The message and note databases of the demo in the layouts of newer releases, made from the
// generated iOS 9 ones so that both demos hold the same live items.

#include <QString>

namespace sample {

class SampleBackupWriter;

// Turns a generated sms.db into the iOS 11 on layout in place, as the device's migrations would:
// nanosecond dates, a text only in attributedBody, reactions; edits and an unsent message from
// iOS 16 on.
bool upgradeMessages(const QString& smsDb, int iosMajor);

// The live notes of a generated notes.sqlite as a NoteStore.sqlite whose rows live only in its
// -wal, with a checklist, an attachment and a locked note among them.
bool writeNoteStore(const QString& notesDb, SampleBackupWriter& writer, int iosMajor);

} // namespace sample
