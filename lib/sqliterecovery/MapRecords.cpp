// Calls, calendar events and reminders, notes and bookmarks: one deleted row of the category's
// main table is one record; related rows (locations, calendars, note bodies) are looked up live
// first, then among the deleted rows. Columns are found by name, so the older and newer layouts
// of a database share one mapping.

#include "RecoveryContext_p.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <set>
#include <unordered_map>

namespace sqlrecovery {

// A lost rowid does not count: it is never shown, and where it links rows inference stands in.
bool lostSomeValue(const CarvedTable& table, const Row& row)
{
    for (size_t i = 0; i < row.values.size(); ++i)
        if (row.values[i].isLost()
            && !(table.schema && i < table.schema->columns.size() && table.schema->columns[i].rowidAlias))
            return true;
    return false;
}

namespace {

// `partial` is set when the text came from a deleted row that lost some of its values.
QString liveOrDeletedText(ScanContext& ctx, const char* table, const char* column, int64_t rowid, bool* partial)
{
    const QString live = ctx.live()
                             .value(std::string("SELECT ") + column + " FROM " + table + " WHERE rowid = ?",
                                    {QVariant(qint64(rowid))})
                             .toString();
    if (!live.isEmpty())
        return live;
    if (const Row* row = ctx.deletedByRowid(table, rowid)) {
        *partial = *partial || lostSomeValue(ctx.table(table), *row);
        return text(*row, ctx.table(table).col(column));
    }
    return QString();
}

// The surviving start of a text or blob of `kind` whose end newer data took; empty when the value
// is anything else.
const std::string& lostStart(const Row& row, int col, sqlcarve::Value::Kind kind)
{
    static const std::string none;
    if (col < 0 || size_t(col) >= row.values.size())
        return none;
    const sqlcarve::Value& v = row.values[size_t(col)];
    return v.isLost() && v.prefixOf == kind ? v.bytes : none;
}

// A note body's text; of a body cut short, what survived.
QString bodyText(const Row& row, int col)
{
    const std::string& start = lostStart(row, col, sqlcarve::Value::Kind::Text);
    if (start.empty())
        return text(row, col);
    return QString::fromUtf8(start.data(), qsizetype(start.size()));
}

// The beginning of an HTML note body as text: tags dropped, blanks trimmed.
QString plainStart(const QString& html)
{
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    return QString(html.left(512)).replace(tag, QStringLiteral(" ")).simplified();
}

// Rows from freeblocks have lost their primary keys, so a note's body cannot be followed by key.
// The device titles a note with the first line of its body: a body whose text starts with the
// title, and is the only unused one that does, belongs to that note.
void linkByTitle(RecordStore& out, const std::vector<size_t>& unlinked, const CarvedTable& bodies, int contentCol,
                 std::set<const Row*>& used)
{
    for (size_t index : unlinked) {
        if (index >= out.notes.size() || out.notes[index].title.trimmed().isEmpty() || !out.notes[index].content.isEmpty())
            continue;
        NoteRecord& note = out.notes[index];
        const Row* match = nullptr;
        int matches = 0;
        for (const Row* b : bodies.rows)
            if (!used.count(b) && (plainStart(bodyText(*b, contentCol)) + QLatin1Char(' ')).startsWith(note.title.trimmed() + QLatin1Char(' '))) {
                match = b;
                ++matches;
            }
        if (matches == 1) {
            note.content = bodyText(*match, contentCol);
            note.partial = note.partial || lostSomeValue(bodies, *match);
            used.insert(match);
        }
    }
}

// A body reported on its own must be text that starts like a body (a loosely typed column also
// fits misaligned bytes) and must not repeat what a reported note already holds.
bool plausibleOrphan(const RecordStore& out, const Row& body, int contentCol)
{
    if (contentCol < 0 || size_t(contentCol) >= body.values.size()
        || (body.values[size_t(contentCol)].kind != sqlcarve::Value::Kind::Text
            && lostStart(body, contentCol, sqlcarve::Value::Kind::Text).empty()))
        return false;
    const QString content = bodyText(body, contentCol);
    if (content.trimmed().size() < 8 || (content.contains(QLatin1Char('>')) && !content.trimmed().startsWith(QLatin1Char('<'))))
        return false;
    for (const NoteRecord& n : out.notes)
        if (n.content.contains(content))
            return false;
    return true;
}

} // namespace

int mapCalls(ScanContext& ctx, RecordStore& out)
{
    const CarvedTable& calls = ctx.table("call");
    const int cAddress = calls.col("address"), cDate = calls.col("date"), cDuration = calls.col("duration"),
              cFlags = calls.col("flags");
    int added = 0;
    for (const Row* row : calls.rows) {
        CallhistoryRecord c;
        c.partial = lostSomeValue(calls, *row);
        c.orphan = fromOrphanPage(*row);
        c.address = text(*row, cAddress);
        c.date = seconds(real(*row, cDate));
        c.duration = toInt32(integer(calls, *row, cDuration));
        c.flags = toInt32(integer(calls, *row, cFlags));
        if (c.address.isEmpty() && c.date == 0)
            continue;
        out.calls.push_back(c);
        ++added;
    }
    // From iOS 8 on: the Core Data store, dates from 2001, the number as a blob of its text.
    const CarvedTable& store = ctx.table("ZCALLRECORD");
    const int zAddress = store.col("ZADDRESS"), zDate = store.col("ZDATE"), zDuration = store.col("ZDURATION"),
              zOriginated = store.col("ZORIGINATED"), zType = store.col("ZCALLTYPE");
    const double kUnixMinus2001 = 978307200.0;
    for (const Row* row : store.rows) {
        CallhistoryRecord c;
        c.partial = lostSomeValue(store, *row);
        c.orphan = fromOrphanPage(*row);
        c.address = text(*row, zAddress).remove(QChar(0));
        const std::optional<double> date = real(*row, zDate);
        c.date = date ? seconds(*date + kUnixMinus2001) : 0;
        c.duration = seconds(real(*row, zDuration));
        const int type = toInt32(integer(store, *row, zType));
        // Bit 0 outgoing, 16 FaceTime, 32 its audio and 64 its video kind, as the older store.
        c.flags = (toInt32(integer(store, *row, zOriginated)) ? 1 : 0) | (type == 8 ? 16 | 64 : type == 16 ? 16 | 32 : 0);
        if (c.address.isEmpty() && c.date == 0)
            continue;
        out.calls.push_back(c);
        ++added;
    }
    return added;
}

int mapCalendar(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("CalendarItem", {{"Location", "item_owner_id"}});
    ctx.inferRowids("Location", {{"CalendarItem", "location_id"}});
    ctx.inferRowids("Calendar", {{"CalendarItem", "calendar_id"}, {"Event", "calendar_id"}, {"Task", "calendar_id"}});
    int added = 0;
    // Newer layout: events and reminders share CalendarItem; entity_type 2 is an event, 3 a
    // reminder; without it the calendar's supported types decide (4 events, 8 reminders), and
    // last an item without an end date is a reminder. Older layout: Event and Task tables.
    const CarvedTable& items = ctx.table("CalendarItem");
    const CarvedTable& events = ctx.table("Event");
    const CarvedTable& tasks = ctx.table("Task");
    const CarvedTable& locations = ctx.table("Location");
    std::multimap<int64_t, const Row*> locationByOwner;
    {
        const int owner = locations.col("item_owner_id");
        for (const Row* row : locations.rows)
            if (const auto o = integer(locations, *row, owner))
                locationByOwner.emplace(*o, row);
    }

    auto locationOf = [&](const CarvedTable& t, const Row& row, std::optional<int64_t> rowid, bool* partial) {
        const int textCol = t.col("location");
        if (textCol >= 0 && t.schema->columns[size_t(textCol)].declaredType.find("INT") == std::string::npos) {
            const QString s = text(row, textCol);
            if (!s.isEmpty())
                return s;
        }
        if (const auto id = integer(t, row, t.col("location_id")); id && *id > 0) {
            const QString s = liveOrDeletedText(ctx, "Location", "title", *id, partial);
            if (!s.isEmpty())
                return s;
        }
        if (rowid) {
            auto it = locationByOwner.find(*rowid);
            if (it != locationByOwner.end()) {
                *partial = *partial || lostSomeValue(locations, *it->second);
                return text(*it->second, locations.col("title"));
            }
            return ctx.live()
                .value("SELECT title FROM Location WHERE item_owner_id = ?", {QVariant(qint64(*rowid))})
                .toString();
        }
        return QString();
    };

    struct CalendarInfo {
        QString title;
        std::optional<int64_t> types;
        bool partial = false;
    };
    std::map<int64_t, CalendarInfo> calendars;
    auto calendarOf = [&](int64_t id) -> const CalendarInfo& {
        auto it = calendars.find(id);
        if (it != calendars.end())
            return it->second;
        CalendarInfo info;
        const auto live = ctx.live().rows("SELECT title, supported_entity_types FROM Calendar WHERE rowid = ?",
                                          {QVariant(qint64(id))});
        if (!live.empty()) {
            info.title = live.front()[0].toString();
            if (live.front()[1].isValid())
                info.types = live.front()[1].toLongLong();
        } else if (const Row* row = ctx.deletedByRowid("Calendar", id)) {
            const CarvedTable& ct = ctx.table("Calendar");
            info.title = text(*row, ct.col("title"));
            info.partial = lostSomeValue(ct, *row);
            info.types = integer(ct, *row, ct.col("supported_entity_types"));
        }
        return calendars.emplace(id, info).first->second;
    };
    auto listName = [](const QString& stored) {
        return stored == QLatin1String("DEFAULT_TASK_CALENDAR_NAME") ? QStringLiteral("Reminders") : stored;
    };

    auto addEvent = [&](const CarvedTable& t, const Row& row) {
        CalendarRecord e;
        e.partial = lostSomeValue(t, row);
        e.orphan = fromOrphanPage(row);
        e.summary = text(row, t.col({"summary", "title"}));
        e.location = locationOf(t, row, rowidOf(t, row), &e.partial);
        e.description = text(row, t.col({"description", "notes"}));
        e.start = seconds(real(row, t.col("start_date")));
        e.end = seconds(real(row, t.col("end_date")));
        e.allDay = toInt32(integer(t, row, t.col("all_day")));
        if (e.summary.isEmpty() && e.location.isEmpty() && e.description.isEmpty() && e.start == 0 && e.end == 0)
            return;
        out.calendars.push_back(e);
        ++added;
    };
    auto addReminder = [&](const CarvedTable& t, const Row& row) {
        ReminderRecord r;
        r.partial = lostSomeValue(t, row);
        r.orphan = fromOrphanPage(row);
        r.title = text(row, t.col({"summary", "title"}));
        r.location = locationOf(t, row, rowidOf(t, row), &r.partial);
        if (const auto cal = integer(t, row, t.col("calendar_id"))) {
            const CalendarInfo& info = calendarOf(*cal);
            r.listName = listName(info.title);
            r.partial = r.partial || info.partial;
        }
        r.notes = text(row, t.col({"description", "notes"}));
        r.dueDate = seconds(real(row, t.col("due_date")));
        if (r.dueDate == 0)
            r.dueDate = seconds(real(row, t.col("start_date")));
        r.completion = seconds(real(row, t.col({"completion_date", "completed_date"})));
        r.priority = toInt32(integer(t, row, t.col("priority")));
        if (r.title.isEmpty() && r.notes.isEmpty() && r.location.isEmpty() && r.dueDate == 0)
            return;
        out.reminders.push_back(r);
        ++added;
    };

    const int cEntity = items.col("entity_type"), cCalendar = items.col("calendar_id"), cEnd = items.col("end_date");
    for (const Row* row : items.rows) {
        bool reminder = false;
        const auto entity = integer(items, *row, cEntity);
        if (entity && (*entity == 2 || *entity == 3)) {
            reminder = *entity == 3;
        } else {
            const auto cal = integer(items, *row, cCalendar);
            const auto types = cal ? calendarOf(*cal).types : std::nullopt;
            if (types && (*types == 4 || *types == 8))
                reminder = *types == 8;
            else
                reminder = !isKnown(*row, cEnd);
        }
        if (reminder)
            addReminder(items, *row);
        else
            addEvent(items, *row);
    }
    for (const Row* row : events.rows)
        addEvent(events, *row);
    for (const Row* row : tasks.rows)
        addReminder(tasks, *row);
    return added;
}

// The reminders' own stores (iOS 13 on): ZREMCDREMINDER rows, lists in ZREMCDBASELIST.
int mapReminderStore(ScanContext& ctx, RecordStore& out)
{
    const CarvedTable& t = ctx.table("ZREMCDREMINDER");
    if (!t.exists())
        return 0;
    const CarvedTable& lists = ctx.table("ZREMCDBASELIST");
    const int cTitle = t.col("ZTITLE"), cNotes = t.col("ZNOTES"), cDue = t.col("ZDUEDATE"), cDone = t.col("ZCOMPLETED"),
              cDoneDate = t.col("ZCOMPLETIONDATE"), cPriority = t.col("ZPRIORITY"), cList = t.col("ZLIST");
    int added = 0;
    for (const Row* row : t.rows) {
        ReminderRecord r;
        r.partial = lostSomeValue(t, *row);
        r.orphan = fromOrphanPage(*row);
        r.title = text(*row, cTitle);
        r.notes = text(*row, cNotes);
        r.dueDate = seconds(real(*row, cDue));
        r.completion = seconds(real(*row, cDoneDate));
        if (r.completion == 0 && toInt32(integer(t, *row, cDone)) != 0)
            r.completion = 1;
        r.priority = toInt32(integer(t, *row, cPriority));
        if (const auto list = integer(t, *row, cList)) {
            if (const Row* l = ctx.deletedByRowid("ZREMCDBASELIST", *list)) {
                r.listName = text(*l, lists.col("ZNAME"));
                r.partial = r.partial || lostSomeValue(lists, *l);
            } else {
                r.listName = ctx.live().value("SELECT ZNAME FROM ZREMCDBASELIST WHERE Z_PK = ?", {QVariant(qint64(*list))}).toString();
            }
        }
        if (r.title.isEmpty() && r.notes.isEmpty())
            continue;
        out.reminders.push_back(r);
        ++added;
    }
    return added;
}

// NoteStore.sqlite (iOS 9 on): notes are the ZICCLOUDSYNCINGOBJECT rows of the entity named
// ICNote (numbers differ per version), bodies ZICNOTEDATA rows naming their note in ZNOTE.
int mapNoteStore(ScanContext& ctx, RecordStore& out)
{
    const CarvedTable& objects = ctx.table("ZICCLOUDSYNCINGOBJECT");
    const CarvedTable& data = ctx.table("ZICNOTEDATA");
    if (!objects.exists() && !data.exists())
        return 0;
    ctx.inferRowids("ZICCLOUDSYNCINGOBJECT", {{"ZICNOTEDATA", "ZNOTE"}});
    const QVariant entity = ctx.live().value("SELECT Z_ENT FROM Z_PRIMARYKEY WHERE Z_NAME = 'ICNote'");
    const int cEnt = objects.col("Z_ENT"), cTitle = objects.col({"ZTITLE1", "ZTITLE"}),
              cDate = objects.col({"ZMODIFICATIONDATE1", "ZMODIFICATIONDATE"}), cSnippet = objects.col("ZSNIPPET"),
              cCreated = objects.col({"ZCREATIONDATE3", "ZCREATIONDATE1", "ZCREATIONDATE"}),
              cData = objects.col("ZNOTEDATA");
    const int dNote = data.col("ZNOTE"), dData = data.col("ZDATA");
    const int cFolder = objects.col("ZFOLDER"), cFolderTitle = objects.col({"ZTITLE2", "ZTITLE"});
    // The folder a deleted note was in: live still, or deleted with it.
    auto folderOf = [&](const Row& note) {
        const auto folder = integer(objects, note, cFolder);
        if (!folder)
            return QString();
        if (const Row* row = ctx.deletedByRowid("ZICCLOUDSYNCINGOBJECT", *folder))
            return text(*row, cFolderTitle);
        for (const char* column : {"ZTITLE2", "ZTITLE"}) {
            const QVariant title = ctx.live().value(std::string("SELECT ") + column + " FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = ?",
                                                    {QVariant(qint64(*folder))});
            if (title.isValid())
                return title.toString();
        }
        return QString();
    };
    auto isNote = [&](const Row& row) {
        const auto ent = integer(objects, row, cEnt);
        return entity.isValid() ? (ent && *ent == entity.toLongLong()) : isKnown(row, cData) || isKnown(row, cSnippet);
    };
    // A body cut short keeps its surviving start: the reader of the format reads as far as it goes.
    auto blob = [](const Row& row, int col) {
        if (isKnown(row, col) && row.values[size_t(col)].kind == sqlcarve::Value::Kind::Blob)
            return QByteArray::fromStdString(row.values[size_t(col)].bytes);
        return QByteArray::fromStdString(lostStart(row, col, sqlcarve::Value::Kind::Blob));
    };
    int added = 0;
    std::set<const Row*> usedNotes;
    for (const Row* d : data.rows) {
        NoteRecord n;
        n.compressedBody = blob(*d, dData);
        if (n.compressedBody.isEmpty())
            continue;
        n.partial = lostSomeValue(data, *d);
        n.orphan = fromOrphanPage(*d);
        if (const auto owner = integer(data, *d, dNote)) {
            if (const Row* note = ctx.deletedByRowid("ZICCLOUDSYNCINGOBJECT", *owner)) {
                n.title = text(*note, cTitle);
                n.date = seconds(real(*note, cDate));
                n.created = seconds(real(*note, cCreated));
                n.folder = folderOf(*note);
                n.partial = n.partial || lostSomeValue(objects, *note);
                usedNotes.insert(note);
            } else if (ctx.live().hasRowid("ZICCLOUDSYNCINGOBJECT", *owner)) {
                continue; // an earlier version of a live note's body
            }
        }
        out.notes.push_back(n);
        ++added;
    }
    // A deleted note whose body is gone still has its title and the first words of its text.
    for (const Row* row : objects.rows) {
        if (usedNotes.count(row) || !isNote(*row))
            continue;
        NoteRecord n;
        n.partial = lostSomeValue(objects, *row);
        n.orphan = fromOrphanPage(*row);
        n.title = text(*row, cTitle);
        n.content = text(*row, cSnippet);
        n.date = seconds(real(*row, cDate));
        n.created = seconds(real(*row, cCreated));
        n.folder = folderOf(*row);
        if (n.title.isEmpty() && n.content.isEmpty())
            continue;
        out.notes.push_back(n);
        ++added;
    }
    return added;
}

int mapNotes(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("ZNOTE", {{"ZNOTEBODY", "ZOWNER"}});
    ctx.inferRowids("ZNOTEBODY", {{"ZNOTE", "ZBODY"}});
    ctx.inferRowids("Note", {{"note_bodies", "note_id"}});
    int added = 0;
    auto addRecord = [&](const Row& from, int date, const QString& title, const QString& content, bool partial, int created = 0) {
        if (title.isEmpty() && content.isEmpty())
            return;
        NoteRecord n{date, title, content};
        n.partial = partial;
        n.orphan = fromOrphanPage(from);
        n.created = created;
        out.notes.push_back(n);
        ++added;
    };

    // Newer layout: ZNOTE.ZBODY names its ZNOTEBODY row, whose ZOWNER points back.
    const CarvedTable& znote = ctx.table("ZNOTE");
    const CarvedTable& zbody = ctx.table("ZNOTEBODY");
    std::set<const Row*> usedBodies;
    std::vector<size_t> unlinked; // notes whose body could not be followed by key
    std::map<int64_t, const Row*> bodyByOwner;
    for (const Row* b : zbody.rows)
        if (const auto owner = integer(zbody, *b, zbody.col("ZOWNER")))
            bodyByOwner.emplace(*owner, b);
    for (const Row* row : znote.rows) {
        bool partial = lostSomeValue(znote, *row);
        const auto pk = rowidOf(znote, *row);
        const QString title = text(*row, znote.col("ZTITLE"));
        const int created = seconds(real(*row, znote.col("ZCREATIONDATE")));
        int date = seconds(real(*row, znote.col("ZMODIFICATIONDATE")));
        if (date == 0)
            date = created;
        QString content;
        // A body whose own row names another note is not this one's, whatever rowid it was given.
        auto ownedElsewhere = [&](const Row& b) {
            const auto owner = integer(zbody, b, zbody.col("ZOWNER"));
            return pk && owner && *owner != *pk;
        };
        if (const auto body = integer(znote, *row, znote.col("ZBODY"))) {
            const Row* b = ctx.deletedByRowid("ZNOTEBODY", *body);
            if (b && !ownedElsewhere(*b)) {
                content = bodyText(*b, zbody.col("ZCONTENT"));
                partial = partial || lostSomeValue(zbody, *b);
                usedBodies.insert(b);
            } else if (!b) {
                content = ctx.live()
                              .value("SELECT ZCONTENT FROM ZNOTEBODY WHERE Z_PK = ?", {QVariant(qint64(*body))})
                              .toString();
            }
        }
        if (content.isEmpty() && pk) {
            auto it = bodyByOwner.find(*pk);
            if (it != bodyByOwner.end()) {
                content = bodyText(*it->second, zbody.col("ZCONTENT"));
                partial = partial || lostSomeValue(zbody, *it->second);
                usedBodies.insert(it->second);
            }
        }
        if (content.isEmpty() && !pk && !title.isEmpty())
            unlinked.push_back(out.notes.size());
        addRecord(*row, date, title, content, partial, created);
    }
    linkByTitle(out, unlinked, zbody, zbody.col("ZCONTENT"), usedBodies);
    // A deleted body whose note row did not survive still holds the text; a body whose owner
    // is a live note is an earlier version of that note, not a deletion.
    for (const Row* b : zbody.rows) {
        if (usedBodies.count(b))
            continue;
        const auto owner = integer(zbody, *b, zbody.col("ZOWNER"));
        if (!owner || ctx.live().hasRowid("ZNOTE", *owner) || !plausibleOrphan(out, *b, zbody.col("ZCONTENT")))
            continue;
        addRecord(*b, 0, QString(), bodyText(*b, zbody.col("ZCONTENT")), lostSomeValue(zbody, *b));
    }

    // Older layout: Note rows, bodies in note_bodies by note_id.
    const CarvedTable& note = ctx.table("Note");
    const CarvedTable& bodies = ctx.table("note_bodies");
    std::map<int64_t, const Row*> bodyByNote;
    for (const Row* b : bodies.rows)
        if (const auto id = integer(bodies, *b, bodies.col("note_id")))
            bodyByNote.emplace(*id, b);
    std::set<const Row*> usedOld;
    std::vector<size_t> unlinkedOld;
    for (const Row* row : note.rows) {
        bool partial = lostSomeValue(note, *row);
        const auto id = rowidOf(note, *row);
        const int created = seconds(real(*row, note.col("creation_date")));
        int date = seconds(real(*row, note.col("modification_date")));
        if (date == 0)
            date = created;
        QString content;
        if (id) {
            auto it = bodyByNote.find(*id);
            if (it != bodyByNote.end()) {
                content = bodyText(*it->second, bodies.col("data"));
                partial = partial || lostSomeValue(bodies, *it->second);
                usedOld.insert(it->second);
            } else {
                content = ctx.live()
                              .value("SELECT data FROM note_bodies WHERE note_id = ?", {QVariant(qint64(*id))})
                              .toString();
            }
        }
        const QString title = text(*row, note.col("title"));
        if (content.isEmpty() && !id && !title.isEmpty())
            unlinkedOld.push_back(out.notes.size());
        addRecord(*row, date, title, content, partial, created);
    }
    linkByTitle(out, unlinkedOld, bodies, bodies.col("data"), usedOld);
    added += mapNoteStore(ctx, out);
    for (const Row* b : bodies.rows) {
        if (usedOld.count(b))
            continue;
        const auto id = integer(bodies, *b, bodies.col("note_id"));
        if (!id || ctx.live().hasRowid("Note", *id) || !plausibleOrphan(out, *b, bodies.col("data")))
            continue;
        addRecord(*b, 0, QString(), bodyText(*b, bodies.col("data")), lostSomeValue(bodies, *b));
    }
    return added;
}

int mapBookmarks(ScanContext& ctx, RecordStore& out)
{
    const CarvedTable& t = ctx.table("bookmarks");
    const int cTitle = t.col("title"), cUrl = t.col("url"), cParent = t.col("parent");
    // A folder deleted with its bookmarks still names them. A live folder at the id is that folder
    // under its name of today (an id is handed out again only to a row after every other).
    std::unordered_map<int64_t, QString> folders;
    // A folder whose row lost its id (the first row of a freed block loses its cell prefix) can
    // still name its bookmarks when it is the only such folder and they the only ones whose
    // folder is unknown: deleting a folder deletes what it holds.
    QStringList unnumbered;
    const int cType = t.col("type");
    for (const Row* row : t.rows) {
        if (!text(*row, cUrl).isEmpty())
            continue;
        if (const auto id = rowidOf(t, *row))
            folders[*id] = text(*row, cTitle);
        else if (integer(t, *row, cType) == 1 && !lostSomeValue(t, *row))
            unnumbered << text(*row, cTitle);
    }
    std::unordered_map<int64_t, QString> titles;
    std::set<int64_t> unknown;
    const auto folderTitle = [&](int64_t id) -> QString {
        auto known = titles.find(id);
        if (known == titles.end()) {
            const QVariant live = ctx.live().value("SELECT title FROM bookmarks WHERE id = ? AND ifnull(url, '') = ''", {QVariant(qint64(id))});
            const auto deleted = folders.find(id);
            known = titles.emplace(id, live.isValid() ? live.toString() : deleted != folders.end() ? deleted->second : QString()).first;
            if (!live.isValid() && deleted == folders.end())
                unknown.insert(id);
        }
        return known->second;
    };
    int added = 0;
    const size_t first = out.bookmarks.size();
    std::vector<std::optional<int64_t>> parents; // of the bookmarks added, by their place after `first`
    for (const Row* row : t.rows) {
        BookmarkRecord b{text(*row, cTitle), text(*row, cUrl)};
        b.partial = lostSomeValue(t, *row);
        b.orphan = fromOrphanPage(*row);
        if (b.url.isEmpty())
            continue; // folders carry no address
        const auto parent = integer(t, *row, cParent);
        if (parent)
            b.folder = folderTitle(*parent);
        parents.push_back(parent);
        out.bookmarks.push_back(b);
        ++added;
    }
    if (unnumbered.size() == 1 && unknown.size() == 1)
        for (size_t i = 0; i < parents.size(); ++i)
            if (parents[i] == *unknown.begin())
                out.bookmarks[first + i].folder = unnumbered.front();
    // History.db: a deleted visit names its page by id, live or deleted itself; a deleted page
    // whose visits are all gone still says it was visited.
    const CarvedTable& visits = ctx.table("history_visits");
    const CarvedTable& pages = ctx.table("history_items");
    if (!visits.exists() && !pages.exists())
        return added;
    ctx.inferRowids("history_items", {{"history_visits", "history_item"}});
    const int pUrl = pages.col("url");
    std::unordered_map<int64_t, const Row*> deletedPages;
    for (const Row* row : pages.rows)
        if (const auto id = rowidOf(pages, *row))
            deletedPages[*id] = row;
    std::set<int64_t> visited;
    const int vItem = visits.col("history_item"), vTime = visits.col("visit_time"), vTitle = visits.col("title");
    for (const Row* row : visits.rows) {
        BookmarkRecord b;
        b.history = true;
        b.partial = lostSomeValue(visits, *row);
        b.orphan = fromOrphanPage(*row);
        b.title = text(*row, vTitle);
        b.visited = seconds(real(*row, vTime));
        if (const auto item = integer(visits, *row, vItem)) {
            visited.insert(*item);
            const auto page = deletedPages.find(*item);
            if (page != deletedPages.end()) {
                b.url = text(*page->second, pUrl);
                b.partial = b.partial || lostSomeValue(pages, *page->second);
            } else {
                b.url = ctx.live().value("SELECT url FROM history_items WHERE id = ?", {QVariant(qint64(*item))}).toString();
            }
        }
        if (b.url.isEmpty() && b.visited == 0)
            continue;
        out.bookmarks.push_back(b);
        ++added;
    }
    for (const Row* row : pages.rows) {
        const auto id = rowidOf(pages, *row);
        if ((id && visited.count(*id)) || text(*row, pUrl).isEmpty())
            continue;
        BookmarkRecord b;
        b.history = true;
        b.partial = lostSomeValue(pages, *row);
        b.orphan = fromOrphanPage(*row);
        b.url = text(*row, pUrl);
        out.bookmarks.push_back(b);
        ++added;
    }
    return added;
}

} // namespace sqlrecovery
