#pragma once

// Scores what a SqliteRecovery reported for one type against the generator's ground truth:
// a reported record matches an expected one by its identifying text (a name, a message text, a
// URL); it is whole when every field equals the expected record, partial otherwise.

#include "sqliterecovery/SqliteRecovery.h"
#include "iosrecgen.h"

#include "../../lib/sqliterecovery/RecoveryContext_p.h"

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
    int whole = 0;
    int partial = 0;
    int reported = 0;
    int correct = 0;      // reported records that match a deleted row (whole or partial)
    int liveReported = 0; // reported records that are live rows or earlier versions of them
    QStringList misses;   // keys of expected rows not recovered whole (for failure messages)

    double precision() const { return reported ? double(correct) / reported : 1.0; }
    QString summary() const;
};

std::vector<ScoredItem> expectedItems(int type, const iosrecgen::Expected& e);
std::vector<ScoredItem> reportedItems(int type, const SqliteRecovery& r);
std::vector<ScoredItem> reportedItems(int type, const sqlrecovery::RecordStore& store);
Score score(const std::vector<ScoredItem>& expected, const std::vector<ScoredItem>& reported, const QStringList& liveTexts);
