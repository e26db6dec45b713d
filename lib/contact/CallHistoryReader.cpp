#include "CallHistoryReader_p.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "AddressBookReader_p.h"
#include "PersonMatcher_p.h"
#include "ReadOnlyDatabase_p.h"
#include "utility/Log.h"

namespace contactdb {

namespace {

const char kModule[] = "BackupContact";
const double kUnixMinus2001 = 978307200.0;

int32_t clampedSeconds(double v)
{
    if (std::isnan(v))
        return 0;
    return int32_t(std::clamp(v, double(std::numeric_limits<int32_t>::min()), double(std::numeric_limits<int32_t>::max())));
}

// Apps that place calls through the phone's call screen, by the start of their bundle
// identifier as ZSERVICE_PROVIDER names it. The index + 1 is kept in the flags.
struct CallApp {
    const char* bundlePrefix;
    const char* name;
};
const CallApp kCallApps[] = {
    {"net.whatsapp.", "WhatsApp"},
    {"com.skype.", "Skype"},
    {"ph.telegra.", "Telegram"},
    {"com.viber", "Viber"},
    {"com.facebook.Messenger", "Messenger"},
    {"org.whispersystems.signal", "Signal"},
    {"com.tencent.xin", "WeChat"},
    {"jp.naver.line", "LINE"},
    {"us.zoom.", "Zoom"},
    {"com.microsoft.skype.teams", "Teams"},
};
const char kTelephony[] = "com.apple.Telephony";
const char kFaceTime[] = "com.apple.FaceTime";

// Core Data call kinds. Before iOS 10 the store has no provider: ZCALLTYPE alone tells phone
// (1) from FaceTime video (8) and audio (16).
int32_t storeCallFlags(int64_t originated, int64_t callType, const QByteArray& provider)
{
    int32_t flags = originated ? CallOutgoing : 0;
    if (!provider.isEmpty() && provider != kTelephony && provider != kFaceTime) {
        flags |= CallOtherApp;
        for (size_t i = 0; i < std::size(kCallApps); ++i)
            if (provider.startsWith(kCallApps[i].bundlePrefix))
                return flags | (int32_t(i + 1) << CallAppShift);
        return flags;
    }
    if (callType == 8)
        flags |= CallFaceTime | CallFaceTimeVideo;
    else if (callType == 16)
        flags |= CallFaceTime | CallFaceTimeAudio;
    else if (provider == kFaceTime)
        flags |= CallFaceTime;
    return flags;
}

// The WHERE clause that keeps CallRecord rows: the entity's number differs between releases and
// is looked up by name. Empty (every row) when the store does not name it.
QByteArray callRecordFilter(const ReadOnlyDatabase& db)
{
    if (!db.hasTable("Z_PRIMARYKEY") || !db.hasColumn("ZCALLRECORD", "Z_ENT"))
        return QByteArray();
    Statement s(db, "select Z_ENT from Z_PRIMARYKEY where Z_NAME = 'CallRecord'");
    if (!s.ok() || !s.next())
        return QByteArray();
    return " where Z_ENT = " + QByteArray::number(s.int64(0));
}

} // namespace

CallRecordList* readCallHistory(RecordArena& arena, const QString& callDbPath, const QString& addressBookPath)
{
    ReadOnlyDatabase db;
    if (!db.open(callDbPath, kModule))
        return nullptr;
    const bool oldLayout = db.hasTable("call");
    if (!oldLayout && !db.hasTable("ZCALLRECORD")) {
        Log(kModule, 0, "No call table in %s", callDbPath.toUtf8().constData());
        return nullptr;
    }
    const ContactRecordList* people = nullptr;
    if (!addressBookPath.isEmpty()) {
        AddressBookReader book(arena);
        people = book.read(addressBookPath, QString());
    }
    const PersonMatcher matcher(people);

    auto column = [&db](const char* table, const char* name) {
        return db.hasColumn(table, name) ? QByteArray(name) : QByteArray("NULL");
    };
    const QByteArray sql = oldLayout
        ? "select ROWID, address, date, duration, flags, " + column("call", "country_code") + " from call order by ROWID"
        : "select Z_PK, ZADDRESS, ZDATE, ZDURATION, " + column("ZCALLRECORD", "ZORIGINATED") + ", "
              + column("ZCALLRECORD", "ZCALLTYPE") + ", " + column("ZCALLRECORD", "ZISO_COUNTRY_CODE") + ", "
              + column("ZCALLRECORD", "ZSERVICE_PROVIDER") + " from ZCALLRECORD" + callRecordFilter(db) + " order by Z_PK";
    Statement s(db, sql);
    if (!s.ok()) {
        Log(kModule, 0, "Fail to read calls of %s", callDbPath.toUtf8().constData());
        return nullptr;
    }
    auto* list = arena.make<CallRecordList>();
    list->layout = oldLayout ? 0 : 1;
    CallNode* last = nullptr;
    QHash<const addressbookdb*, const SmsPersonMatch*> matches;
    while (s.next()) {
        auto* r = arena.make<CallRecord>();
        r->rowid = int32_t(s.int64(0));
        // The store keeps the number as a blob of its UTF-8 text, from iOS 17 on as text; SQLite
        // hands out either as bytes.
        const QByteArray address = s.isNull(1) ? QByteArray("") : QByteArray(s.blob(1)).replace('\0', "");
        r->address = arena.text(address);
        const double date = sqlite3_column_double(s.handle(), 2);
        r->date = clampedSeconds(oldLayout ? date : date + kUnixMinus2001);
        r->duration = clampedSeconds(sqlite3_column_double(s.handle(), 3));
        // The older store's own flags never use the bits that name another app.
        r->flags = oldLayout ? int32_t(s.int64(4)) & ~(CallOtherApp | CallAppMask)
                             : storeCallFlags(s.int64(4), s.int64(5), s.text(7));
        r->country = arena.text(s.isNull(oldLayout ? 5 : 6) ? QByteArray("") : s.text(oldLayout ? 5 : 6).toLower());
        if (const addressbookdb* person = matcher.find(address)) {
            const SmsPersonMatch*& cell = matches[person];
            if (!cell) {
                auto* made = arena.make<SmsPersonMatch>();
                made->person = &person->person;
                made->personRowid = person->rowid;
                cell = made;
            }
            r->match = cell;
        }
        auto* node = arena.make<CallNode>();
        node->record = r;
        (last ? last->next : list->first) = node;
        last = node;
        ++list->count;
    }
    Log(kModule, 1, " %d calls read from %s", int(list->count), callDbPath.toUtf8().constData());
    return list;
}

} // namespace contactdb

const char* callAppName(int32_t flags)
{
    const int32_t index = ((flags & CallAppMask) >> CallAppShift) - 1;
    if (!(flags & CallOtherApp) || index < 0 || index >= int32_t(std::size(contactdb::kCallApps)))
        return nullptr;
    return contactdb::kCallApps[index].name;
}
