#pragma once

// Scores what a SqliteRecovery reported for one type against the generator's ground truth:
// a reported record matches an expected one by its identifying text (a name, a message text, a
// URL); it is whole when every field equals the expected record, partial otherwise.

#include "sqliterecovery/SqliteRecovery.h"
#include "iosrecgen.h"

#include <QString>
#include <QStringList>

#include <vector>

struct ScoredItem {
    QString key;
    QString fields;      // every field, joined
    QStringList context; // message participants: the expected ones must all be named
};

struct Score {
    int expected = 0;
    int survived = 0;     // expected rows whose identifying bytes are still in the files
    int whole = 0;
    int partial = 0;
    int reported = 0;
    int correct = 0;      // reported records that match a deleted row (whole or partial)
    int liveReported = 0; // reported records that are live rows or earlier versions of them
    QStringList misses;   // keys of expected rows not recovered whole (for failure messages)

    double recall() const { return expected ? double(whole) / expected : 1.0; }
    double recallOfSurvived() const { return survived ? double(std::min(whole, survived)) / survived : 1.0; }
    double precision() const { return reported ? double(correct) / reported : 1.0; }
    QString summary() const;
};

std::vector<ScoredItem> expectedItems(int type, const iosrecgen::Expected& e);
namespace sqlrecovery {
struct RecordStore;
}

// The getters of SqliteRecovery over a record store filled by the mapping directly.
class StoreView
{
public:
    explicit StoreView(const sqlrecovery::RecordStore& store) : m_store(store) {}
    unsigned getContactCount() const;
    const PersonRecord* getContact(unsigned i) const;
    unsigned getMessageGroupCount() const;
    const MessageGroupRecord* getMessageGroup(unsigned i) const;
    unsigned getCallhistoryCount() const;
    const CallhistoryRecord* getCallhistory(unsigned i) const;
    unsigned getCalendarCount() const;
    const CalendarRecord* getCalendar(unsigned i) const;
    unsigned getReminderCount() const;
    const ReminderRecord* getReminder(unsigned i) const;
    unsigned getNoteCount() const;
    const NoteRecord* getNote(unsigned i) const;
    unsigned getBookmarkCount() const;
    const BookmarkRecord* getBookmark(unsigned i) const;

private:
    const sqlrecovery::RecordStore& m_store;
};

// `R` offers the getters of SqliteRecovery (the library itself, or a view of a record store).
template <class R>
std::vector<ScoredItem> reportedItems(int type, const R& r);
Score score(const std::vector<ScoredItem>& expected, const std::vector<ScoredItem>& reported,
            const QStringList& liveTexts, const QString& databasePath);
