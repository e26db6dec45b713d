#pragma once

// A generated database of one type with its deleted rows as a perfect carver would give them,
// so that the mapping's rules can be checked on carved rows a test damages on purpose.

#include "RecoveryScore.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace recoverytest {

inline sqlcarve::Value value(sqlcarve::Value::Kind kind, int64_t integer = 0, std::string bytes = {})
{
    sqlcarve::Value v;
    v.kind = kind;
    v.integer = integer;
    v.bytes = std::move(bytes);
    return v;
}
inline sqlcarve::Value lost() { return value(sqlcarve::Value::Kind::Lost); }
inline sqlcarve::Value integer(int64_t n) { return value(sqlcarve::Value::Kind::Integer, n); }

// The position of column `name` in `table`; SIZE_MAX when there is none.
inline size_t columnOf(const sqlcarve::Result& r, const std::string& table, const std::string& name)
{
    for (const auto& t : r.tables)
        for (size_t i = 0; t.name == table && i < t.columns.size(); ++i)
            if (t.columns[i].name == name)
                return i;
    return SIZE_MAX;
}

// Runs `sql` on the database at `path`; `count` takes the first value of a result row.
inline bool exec(const QString& path, const QString& sql, int* count = nullptr)
{
    sqlite3* h = nullptr;
    const bool ok = sqlite3_open(path.toUtf8().constData(), &h) == SQLITE_OK
        && sqlite3_exec(
               h, sql.toUtf8().constData(),
               [](void* n, int, char** v, char**) { return n && v[0] ? *static_cast<int*>(n) = std::atoi(v[0]), 0 : 0; }, count, nullptr)
            == SQLITE_OK;
    if (!ok)
        ADD_FAILURE() << sqlite3_errmsg(h);
    sqlite3_close(h);
    return ok;
}

struct OracleFixture {
    QTemporaryDir dir;
    QString db;
    iosrecgen::Options options;
    iosrecgen::Expected truth;
    sqlcarve::Result carved;

    OracleFixture(int type, iosrecgen::Options o) : options(o)
    {
        options.snapshotBefore = dir.filePath(QStringLiteral("before.snapshot"));
        db = iosrecgen::generate(type, dir.path(), options, &truth);
        carved = iosrecgen::oracleCarve(options.snapshotBefore, db);
    }
    explicit OracleFixture(int type, int ios = 8, iosrecgen::Journal journal = iosrecgen::Journal::Rollback)
        : OracleFixture(type, [&] {
              iosrecgen::Options o;
              o.iosMajor = ios;
              o.journal = journal;
              return o;
          }())
    {
    }
    std::vector<sqlcarve::CarvedRow*> rowsOf(const std::string& table)
    {
        std::vector<sqlcarve::CarvedRow*> out;
        for (auto& r : carved.rows)
            if (r.table == table)
                out.push_back(&r);
        return out;
    }
    size_t column(const std::string& table, const std::string& name) const { return columnOf(carved, table, name); }
    sqlrecovery::RecordStore map(int type, bool salvageLinks = true)
    {
        sqlrecovery::RecordStore store;
        sqlrecovery::mapType(type, carved, db, store, true, salvageLinks);
        return store;
    }
    void drop(const std::string& table)
    {
        carved.rows.erase(std::remove_if(carved.rows.begin(), carved.rows.end(), [&](const sqlcarve::CarvedRow& r) { return r.table == table; }),
                          carved.rows.end());
    }
    // Changes the live database (what the device kept) behind the carve result.
    void live(const QString& sql) { exec(db, sql); }
    Score scoreOf(int type, const sqlrecovery::RecordStore& store)
    {
        return score(expectedItems(type, truth), reportedItems(type, store), truth.liveTexts);
    }
};

} // namespace recoverytest
