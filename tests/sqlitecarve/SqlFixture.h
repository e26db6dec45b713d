#pragma once

// Databases for the carver's tests, built from SQL statements with the SQLite library.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <string>
#include <vector>

namespace sqlfixture {

// Runs statements on a fresh database file and returns its path; the connection stays open in
// *keep when given (so a -wal survives).
inline std::string build(const QTemporaryDir& dir, const std::string& name, const std::vector<std::string>& sql,
                         sqlite3** keep = nullptr, int reserve = 0)
{
    const std::string path = dir.path().toStdString() + "/" + name;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    if (reserve)
        sqlite3_file_control(db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr); // same file format, no fsync per row
    for (const std::string& s : sql) {
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, s.c_str(), nullptr, nullptr, &err), SQLITE_OK) << s << ": " << (err ? err : "");
        sqlite3_free(err);
    }
    if (keep)
        *keep = db;
    else
        sqlite3_close(db);
    return path;
}

} // namespace sqlfixture
