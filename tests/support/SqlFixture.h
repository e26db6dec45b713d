#pragma once

// Databases for the carver's tests, built from SQL statements with the SQLite library, and the
// carved rows of a table in a form that compares exactly.

#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace sqlfixture {

// Runs statements on a fresh database file and returns its path. With `walCopy` the files are
// copied to "copy.db" (and its -wal) while the connection is open, so the -wal is not
// checkpointed away, and that copy's path is returned.
inline std::string build(const QTemporaryDir& dir, const std::string& name, const std::vector<std::string>& sql,
                         bool walCopy = false, int reserve = 0)
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
    const std::string copy = dir.path().toStdString() + "/copy.db";
    if (walCopy)
        for (const char* suffix : {"", "-wal"})
            QFile::copy(QString::fromStdString(path + suffix), QString::fromStdString(copy + suffix));
    sqlite3_close(db);
    return walCopy ? copy : path;
}

inline std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

inline void put32(std::string& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[off + size_t(i)] = char(v >> (24 - 8 * i));
}

// "rowid|value|value..." with texts quoted, blobs by size, lost values as "?".
inline std::string show(const sqlcarve::CarvedRow& row)
{
    std::string s = row.rowid ? std::to_string(*row.rowid) : "?";
    for (const sqlcarve::Value& v : row.values) {
        char real[32];
        snprintf(real, sizeof real, "%.15g", v.real);
        using K = sqlcarve::Value::Kind;
        s += "|" + (v.kind == K::Null ? "NULL" : v.kind == K::Lost ? "?" : v.kind == K::Integer ? std::to_string(v.integer)
                    : v.kind == K::Real ? std::string(real) : v.kind == K::Text ? "'" + v.bytes + "'" : "blob" + std::to_string(v.bytes.size()));
    }
    return s;
}

// Every carved row of `table`, shown; a row reported twice shows up as a size mismatch.
inline std::multiset<std::string> carved(const sqlcarve::Result& r, const std::string& table)
{
    std::multiset<std::string> out;
    for (const auto& row : r.rows)
        if (row.table == table)
            out.insert(show(row));
    return out;
}

inline bool warned(const sqlcarve::Result& r, const std::string& part)
{
    for (const std::string& w : r.warnings)
        if (w.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace sqlfixture
