#pragma once

// A message database of the chat/handle/message layout at any size, written fast (one
// transaction, prepared statements), for benchmarks and large sample backups.

#include <QStringList>

struct sqlite3;

namespace sample {

struct BulkMessages {
    int messages = 1000000;
    int chats = 20000;
    int attachmentEvery = 100; // every n-th message carries a picture (0: none)
    QStringList attachmentPaths; // filled: the device paths the attachments name ("Library/SMS/...")
};

// Chat c talks with "+1555" followed by 1000000 + c (no country, so the number is matched as
// stored). False on an SQL error.
bool writeBulkMessages(sqlite3* db, BulkMessages& bulk);

} // namespace sample
