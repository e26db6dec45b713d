// The public forensic corpus in tests/data/sqlite-corpus: deleted-content categories 0A-0E are
// scored against their answer keys; the malformed categories 11-19 must never crash or hang.

#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

#include <cmath>

namespace {

const QString kCorpus = QStringLiteral(IBR_TEST_DATA_DIR "/sqlite-corpus");

using KeyRow = std::vector<std::string>;

// The answer key's deleted rows: rows marked deleted="1", and every row of a dropped table.
std::vector<KeyRow> deletedRows(const QString& xmlPath)
{
    QFile f(xmlPath);
    std::vector<KeyRow> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QXmlStreamReader xml(&f);
    bool tableDeleted = false, rowDeleted = false;
    KeyRow row;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("element"))
            tableDeleted = false;
        else if (xml.isStartElement() && xml.name() == QLatin1String("deleted"))
            tableDeleted = xml.readElementText().trimmed() == QLatin1String("True");
        else if (xml.isStartElement() && xml.name() == QLatin1String("row"))
            row.clear(), rowDeleted = xml.attributes().value(QLatin1String("deleted")) == QLatin1String("1");
        else if (xml.isStartElement() && xml.name() == QLatin1String("content"))
            row.push_back(xml.readElementText().toStdString());
        else if (xml.isEndElement() && xml.name() == QLatin1String("row") && (rowDeleted || tableDeleted))
            out.push_back(row);
    }
    return out;
}

bool sameValue(const std::string& key, const sqlcarve::Value& v)
{
    char* end = nullptr;
    switch (v.kind) {
    case sqlcarve::Value::Kind::Integer:
        return key == std::to_string(v.integer);
    case sqlcarve::Value::Kind::Real: {
        const double k = std::strtod(key.c_str(), &end);
        return *end == '\0' && std::fabs(k - v.real) <= 1e-9 * std::fabs(k) + 1e-5; // keys print 5 decimals
    }
    case sqlcarve::Value::Kind::Text:
    case sqlcarve::Value::Kind::Blob:
        return key == v.bytes;
    case sqlcarve::Value::Kind::Null:
        return key.empty() || key == "NULL";
    case sqlcarve::Value::Kind::Lost:
        return false;
    }
    return false;
}

// 2: whole, 1: partial (lost values only), 0: different row.
int fit(const KeyRow& key, const sqlcarve::CarvedRow& row)
{
    if (key.size() != row.values.size())
        return 0;
    int known = 0, lost = 0;
    for (size_t i = 0; i < key.size(); ++i) {
        if (row.values[i].isLost())
            ++lost;
        else if (!sameValue(key[i], row.values[i]))
            return 0;
        else
            ++known;
    }
    return known == 0 ? 0 : lost ? 1 : 2;
}

// Whether each text value of the row (of a few bytes at least) still occurs in the file: a row
// whose text was overwritten cannot come back whole, whatever the carver does.
bool textsInFile(const KeyRow& row, const QByteArray& file)
{
    bool hasText = false;
    for (const std::string& v : row) {
        char* end = nullptr;
        std::strtod(v.c_str(), &end);
        if (v.size() < 3 || *end == '\0')
            continue; // numbers and short texts say nothing
        hasText = true;
        if (!file.contains(QByteArray::fromStdString(v)))
            return false;
    }
    return hasText;
}

TEST(CarverCorpus, DeletedContentCategoriesAgainstAnswerKeys)
{
    int cases = 0, deleted = 0, whole = 0, falseRows = 0, textsLeft = 0, wholeOfTextsLeft = 0;
    for (const char* category : {"0A", "0B", "0C", "0D", "0E"}) {
        const QDir dir(kCorpus + QLatin1Char('/') + QLatin1String(category));
        for (const QString& name : dir.entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
            const QString db = dir.filePath(name);
            const std::vector<KeyRow> keys = deletedRows(QString(db).replace(QLatin1String(".db"), QLatin1String(".xml")));
            sqlcarve::Options opt;
            opt.autoCompanions = false;
            const sqlcarve::Result r = sqlcarve::carveFile(db.toStdString(), opt);
            std::vector<int> best(keys.size(), 0);
            for (const sqlcarve::CarvedRow& row : r.rows) {
                if (row.table == "sqlite_master")
                    continue;
                int rowBest = 0;
                size_t at = 0;
                for (size_t i = 0; i < keys.size(); ++i)
                    if (const int f = fit(keys[i], row); f > rowBest)
                        rowBest = f, at = i;
                falseRows += rowBest == 0;
                best[at] = std::max(best[at], rowBest);
            }
            QFile f(db);
            const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
            for (size_t i = 0; i < keys.size(); ++i) {
                whole += best[i] == 2;
                if (textsInFile(keys[i], bytes))
                    ++textsLeft, wholeOfTextsLeft += best[i] == 2;
            }
            deleted += int(keys.size());
            ++cases;
        }
    }
    ASSERT_GT(cases, 10);
    // Of the rows whose texts the file still holds, the misses are rows whose last column a newer
    // row took (0B-01 20006, 0D-01 20004) and one whose first name and surname live on in other
    // rows (0D-05 20007).
    EXPECT_GE(wholeOfTextsLeft * 100, textsLeft * 95) << wholeOfTextsLeft << " of " << textsLeft;
    // Measured: 118 of 141 whole, none reported falsely. The 23 misses are rows whose bytes the
    // corpus overwrote on purpose, wholly or in part: new rows in freed space (0B: 6, 0D: 14) and
    // overflow pages reused or turned into freelist trunks (0E: 3).
    EXPECT_GE(double(whole), 0.83 * deleted) << whole << " of " << deleted;
    EXPECT_EQ(falseRows, 0);
}

// Hostile files end the walk that met the damage, never the scan.
TEST(CarverCorpus, MalformedFilesNeverCrash)
{
    int files = 0;
    for (int category = 11; category <= 19; ++category) {
        const QDir dir(kCorpus + QLatin1Char('/') + QString::number(category));
        for (const QString& name : dir.entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
            sqlcarve::Options opt;
            opt.autoCompanions = false;
            const sqlcarve::Result r = sqlcarve::carveFile(dir.filePath(name).toStdString(), opt);
            for (const sqlcarve::CarvedRow& row : r.rows) {
                const auto t = std::find_if(r.tables.begin(), r.tables.end(), [&](const sqlcarve::Table& x) { return x.name == row.table; });
                ASSERT_NE(t, r.tables.end()) << name.toStdString();
                EXPECT_EQ(row.values.size(), t->columns.size()) << name.toStdString();
            }
            ++files;
        }
    }
    EXPECT_GT(files, 20);
}

} // namespace
