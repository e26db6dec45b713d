#include "sqliterecovery/SqliteRecovery.h"

#include "utility/Log.h"
#include "RecoveryContext_p.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

const char* const kModule = "SqliteRecovery";
const int kTypeCount = 6;

// File names of each type's database, most preferred first (the order the live readers use).
QStringList namesForType(int type)
{
    switch (type) {
    case 0:
        return {QStringLiteral("AddressBook.sqlitedb"), QStringLiteral("AddressBook.db")};
    case 1:
        return {QStringLiteral("sms.db")};
    case 2:
        return {QStringLiteral("call_history.db"), QStringLiteral("CallHistory.storedata")};
    case 3:
        return {QStringLiteral("Calendar.sqlitedb"), QStringLiteral("Data-*.sqlite")}; // the reminders' stores
    case 4:
        return {QStringLiteral("notes.db"), QStringLiteral("notes.sqlite"), QStringLiteral("NoteStore.sqlite")};
    case 5:
        return {QStringLiteral("Bookmarks.db"), QStringLiteral("History.db")};
    default:
        return {};
    }
}

// Every distinct file of `files` that holds the type, most preferred name first.
QStringList filesForType(int type, const QStringList& files)
{
    QStringList out;
    for (const QString& name : namesForType(type)) {
        const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(name),
                                         QRegularExpression::CaseInsensitiveOption);
        for (const QString& f : files)
            if (pattern.match(QFileInfo(f).fileName()).hasMatch()) {
                const QString abs = QFileInfo(f).absoluteFilePath();
                if (!out.contains(abs))
                    out << abs;
            }
    }
    return out;
}

// Hands out one scan's share of progress: never more than the share in total, the remainder
// exactly once at the end, and nothing at all after the first refusal.
class ProgressFeed
{
public:
    explicit ProgressFeed(ScanProgress* target) : m_target(target), m_total(target ? std::max(0.0, target->range()) : 0.0)
    {
    }

    bool stopped() const { return m_stopped; }
    double total() const { return m_total; }

    // Advance to `fraction` (0..1) of the whole share.
    bool advanceTo(double fraction)
    {
        if (m_stopped || !m_target)
            return !m_stopped;
        const double goal = m_total * std::clamp(fraction, 0.0, 1.0);
        const double step = goal - m_done;
        // Tiny steps only cost calls; the remainder goes out with the next larger one.
        if (step <= 0 || (step < m_total / 1000.0 && fraction < 1.0))
            return true;
        m_done = goal;
        if (!m_target->progress(step))
            m_stopped = true;
        return !m_stopped;
    }

    bool finishShare() { return advanceTo(1.0); }

private:
    ScanProgress* m_target;
    double m_total;
    double m_done = 0.0;
    bool m_stopped = false;
};

} // namespace

SqliteRecovery::SqliteRecovery() : d(std::make_unique<SqliteRecoveryPrivate>()) {}

SqliteRecovery::~SqliteRecovery() = default;

void SqliteRecovery::setBodyDecoder(std::function<QString(const QByteArray&)> decoder)
{
    d->store.bodyText = std::move(decoder);
}

QString SqliteRecovery::dbFileForType(int type, const QStringList& files) const
{
    for (const QString& name : namesForType(type))
        for (const QString& f : files)
            if (QFileInfo(f).fileName().compare(name, Qt::CaseInsensitive) == 0)
                return f;
    return QString();
}

int SqliteRecovery::scanRecoveryForType(int type, const QStringList& files, ScanProgress* progress)
{
    if (type < 0 || type >= kTypeCount) {
        Log(kModule, 1, " unknown record type %d", type);
        return -1;
    }
    d->store.clearType(type);
    ProgressFeed feed(progress);
    const QStringList paths = filesForType(type, files);
    if (paths.isEmpty()) {
        feed.finishShare();
        return -1;
    }

    // Carving is most of the work; the mapping gets the last tenth of each file's part.
    const double kCarveShare = 0.9;
    std::vector<double> sizes;
    double totalSize = 0;
    for (const QString& p : paths) {
        sizes.push_back(double(std::max<qint64>(QFileInfo(p).size(), 0)) + 1.0);
        totalSize += sizes.back();
    }
    double before = 0;
    for (int i = 0; i < paths.size() && !feed.stopped(); ++i) {
        const QString& path = paths[i];
        const double base = before / totalSize;
        const double part = sizes[size_t(i)] / totalSize;
        before += sizes[size_t(i)];

        sqlcarve::Options options = sqlrecovery::carveOptions(type);
        options.progress = [&feed, base, part, kCarveShare](double done, double total) {
            const double f = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0.0;
            return feed.advanceTo(base + part * kCarveShare * f);
        };
        options.keepImage = true;
        sqlcarve::Result result = sqlcarve::carveFile(path.toStdString(), options);
        if (feed.stopped() || result.cancelled) {
            Log(kModule, 1, " scan of %s stopped", path.toUtf8().constData());
            break;
        }
        if (!result.ok) {
            Log(kModule, 1, " %s is not a readable SQLite database", path.toUtf8().constData());
            d->problems << QStringLiteral("%1 is not a readable SQLite database").arg(QFileInfo(path).fileName());
            continue;
        }
        d->tables.clear();
        for (const sqlcarve::Table& t : result.tables)
            if (!t.dropped)
                d->tables << QString::fromStdString(t.name);
        for (const std::string& w : result.warnings)
            Log(kModule, 1, " %s: %s", path.toUtf8().constData(), w.c_str());
        const QString name = QFileInfo(path).fileName();
        const bool named = std::any_of(d->damaged.begin(), d->damaged.end(), [&](const auto& f) { return f.first == name; });
        if (!result.damage.empty() && !named)
            d->damaged << qMakePair(name, QString::fromStdString(result.damage.front()));
        // The carver names the file it read, a working copy: the user knows it by its name.
        for (const std::string& u : result.unread) {
            QString problem = QString::fromUtf8(u.c_str());
            if (problem.startsWith(path + QStringLiteral(": ")))
                problem.replace(0, path.size(), name);
            d->problems << problem;
        }
        sqlrecovery::LiveDb live(result.image);
        const int found = sqlrecovery::mapType(type, result, live, d->store);
        Log(kModule, 1, " %d deleted records of type %d in %s (%zu carved rows)", found, type,
            path.toUtf8().constData(), result.rows.size());
        feed.advanceTo(base + part);
    }
    if (!feed.stopped())
        feed.finishShare();
    return d->store.countOfType(type);
}

static QString PersonRecord::*const kPersonTexts[kPersonTextCount] = {
    &PersonRecord::first,         &PersonRecord::last,           &PersonRecord::middle,       &PersonRecord::prefix,
    &PersonRecord::suffix,        &PersonRecord::nickname,       &PersonRecord::firstPhonetic,
    &PersonRecord::middlePhonetic, &PersonRecord::lastPhonetic,  &PersonRecord::jobTitle,
    &PersonRecord::organization,  &PersonRecord::department,     &PersonRecord::note,
};

QString& personText(PersonRecord& record, int index)
{
    return record.*kPersonTexts[index];
}

const QString& personText(const PersonRecord& record, int index)
{
    return record.*kPersonTexts[index];
}

QStringList SqliteRecovery::tables() const
{
    return d->tables;
}

QStringList SqliteRecovery::problems() const
{
    return d->problems;
}

QList<QPair<QString, QString>> SqliteRecovery::damagedFiles() const
{
    return d->damaged;
}

unsigned SqliteRecovery::getContactCount() const { return unsigned(d->store.contacts.size()); }
const PersonRecord* SqliteRecovery::getContact(unsigned index) const
{
    return index < d->store.contacts.size() ? &d->store.contacts[index] : nullptr;
}
unsigned SqliteRecovery::getMessageGroupCount() const { return unsigned(d->store.messageGroups.size()); }
const MessageGroupRecord* SqliteRecovery::getMessageGroup(unsigned index) const
{
    return index < d->store.messageGroups.size() ? &d->store.messageGroups[index] : nullptr;
}
unsigned SqliteRecovery::getCallhistoryCount() const { return unsigned(d->store.calls.size()); }
const CallhistoryRecord* SqliteRecovery::getCallhistory(unsigned index) const
{
    return index < d->store.calls.size() ? &d->store.calls[index] : nullptr;
}
unsigned SqliteRecovery::getCalendarCount() const { return unsigned(d->store.calendars.size()); }
const CalendarRecord* SqliteRecovery::getCalendar(unsigned index) const
{
    return index < d->store.calendars.size() ? &d->store.calendars[index] : nullptr;
}
unsigned SqliteRecovery::getReminderCount() const { return unsigned(d->store.reminders.size()); }
const ReminderRecord* SqliteRecovery::getReminder(unsigned index) const
{
    return index < d->store.reminders.size() ? &d->store.reminders[index] : nullptr;
}
unsigned SqliteRecovery::getNoteCount() const { return unsigned(d->store.notes.size()); }
const NoteRecord* SqliteRecovery::getNote(unsigned index) const
{
    return index < d->store.notes.size() ? &d->store.notes[index] : nullptr;
}
unsigned SqliteRecovery::getBookmarkCount() const { return unsigned(d->store.bookmarks.size()); }
const BookmarkRecord* SqliteRecovery::getBookmark(unsigned index) const
{
    return index < d->store.bookmarks.size() ? &d->store.bookmarks[index] : nullptr;
}
