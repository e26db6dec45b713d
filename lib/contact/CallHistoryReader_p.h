#pragma once

// Reads calls into kind-2 records, each matched to an address-book person:
//
//   call_history.db         call(ROWID, address, date [Unix s], duration [s], flags, country_code)
//   CallHistory.storedata   ZCALLRECORD(Z_PK, ZADDRESS [text or UTF-8 blob], ZDATE [2001 s, real],
//   (iOS 8 and later)         ZDURATION [s, real], ZORIGINATED, ZANSWERED, ZCALLTYPE [1 phone,
//                             8 FaceTime video, 16 FaceTime audio], ZISO_COUNTRY_CODE)

#include <QString>

#include "contact/IBackupContact.h"
#include "RecordArena_p.h"

namespace contactdb {

// Null when the database cannot be read or holds neither layout; a missing or unreadable
// address book only leaves the calls unnamed.
CallRecordList* readCallHistory(RecordArena& arena, const QString& callDbPath, const QString& addressBookPath);

} // namespace contactdb
