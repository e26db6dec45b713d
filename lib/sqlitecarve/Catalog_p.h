#pragma once

// What sqlite_master says, live and recovered: the tables' stored layouts (looked up by column
// count, for matching records to tables) and the indexes whose entries can give a lost rowid back.

#include "Records_p.h"
#include "Schema_p.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace sqlcarve {

// The fewest columns a record must have to be matched by its beginning alone (a row written
// before columns were added to its table). How many were added since is not bounded: a phone
// kept through many releases holds rows of each (a message table gained 30 from iOS 8 to 12).
constexpr size_t kMinShortRecordColumns = 8;

struct SchemaRow {
    std::string type, name, tblName, sql;
    int64_t root = 0;
};

class Catalog
{
public:
    const std::vector<TableLayout>& tables() const { return m_tables; }
    const TableLayout& table(size_t t) const { return m_tables[t]; }
    size_t size() const { return m_tables.size(); }
    // Tables are numbered in 16 bits where millions of rows name one; a schema of more is hostile.
    static constexpr size_t kMaxTables = 0xFFFF;
    bool full() const { return m_tables.size() >= kMaxTables; }
    // Tables by column count, and by the counts of their rows from before columns were added.
    const std::vector<std::vector<int>>& byCount() const { return m_byCount; }
    size_t maxColumns() const { return m_maxColumns; }
    bool hasWithoutRowid() const { return m_hasWithoutRowid; }
    const std::vector<SchemaRow>& schemaRows() const { return m_schemaRows; }
    const std::vector<IndexLayout>& indexes() const { return m_indexes; }
    // Root pages of the live indexes, and the IndexLayout each has (-1: none read).
    const std::vector<uint32_t>& indexRoots() const { return m_indexRoots; }
    int indexRootLayout(size_t i) const { return i < m_indexRootIds.size() ? m_indexRootIds[i] : -1; }
    // A table's indexes (IndexLayout entries); empty until linkIndexes().
    bool hasIndexes(size_t table) const { return table < m_indexesOf.size() && !m_indexesOf[table].empty(); }
    const std::vector<uint16_t>& indexesOf(size_t table) const { return m_indexesOf[table]; }

    void addSchemaRow(SchemaRow row) { m_schemaRows.push_back(std::move(row)); }

    void addLayout(TableLayout layout)
    {
        const size_t n = layout.stored.size();
        if (n == 0 || n > 4096 || full())
            return;
        if (m_byCount.size() <= n)
            m_byCount.resize(n + 1);
        m_byCount[n].push_back(int(m_tables.size()));
        // Rows written before ALTER TABLE ADD COLUMN keep their shorter records: such a row
        // matches the table by its first columns, when every column after them could have been
        // added.
        layout.shortest = n;
        while (layout.shortest > 0 && !layout.table.withoutRowid && layout.stored[layout.shortest - 1].addable)
            --layout.shortest;
        for (size_t k = std::max(layout.shortest, kMinShortRecordColumns); k < n; ++k)
            m_byCount[k].push_back(int(m_tables.size()));
        m_maxColumns = std::max(m_maxColumns, n);
        m_hasWithoutRowid = m_hasWithoutRowid || layout.table.withoutRowid;
        m_tables.push_back(std::move(layout));
    }

    int tableNamed(const std::string& name) const
    {
        for (size_t t = 0; t < m_tables.size(); ++t) {
            const std::string& n = m_tables[t].table.name;
            if (n.size() == name.size()
                && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return std::tolower(uint8_t(a)) == std::tolower(uint8_t(b)); }))
                return int(t);
        }
        return -1;
    }

    // The tables and indexes the schema rows read so far describe.
    void addSchemaTables()
    {
        for (const auto& row : m_schemaRows) {
            if (row.type == "table" && row.root > 0) {
                TableLayout t;
                if (!parseCreateTable(row.sql, &t))
                    continue;
                t.table.name = row.name;
                t.table.rootPage = uint32_t(row.root);
                addLayout(std::move(t));
            } else if (row.type == "index" && row.root > 0) {
                m_indexRoots.push_back(uint32_t(row.root));
            }
        }
        for (const auto& row : m_schemaRows)
            if (row.type == "index" && row.root > 0)
                m_indexRootIds.push_back(indexLayoutFor(row));
    }

    // Each table's indexes, once no more tables come.
    void linkIndexes()
    {
        m_indexesOf.assign(m_tables.size(), {});
        for (size_t i = 0; i < m_indexes.size(); ++i)
            if (m_indexes[i].table >= 0 && size_t(m_indexes[i].table) < m_tables.size())
                m_indexesOf[size_t(m_indexes[i].table)].push_back(uint16_t(i));
    }

private:
    // Index b-trees hold (indexed columns..., rowid): a deleted row's entry keeps its rowid at the
    // end of the cell, past the bytes a freeblock header overwrites.
    int indexLayoutFor(const SchemaRow& row)
    {
        const int table = tableNamed(row.tblName);
        if (table < 0 || m_tables[size_t(table)].table.withoutRowid)
            return -1;
        const TableLayout& tl = m_tables[size_t(table)];
        std::vector<int> cols;
        static const std::string kAuto = "sqlite_autoindex_";
        if (!row.sql.empty()) {
            if (!parseCreateIndex(row.sql, tl, &cols))
                return -1;
        } else if (row.name.compare(0, kAuto.size(), kAuto) == 0) {
            const size_t us = row.name.rfind('_');
            const int n = std::atoi(row.name.c_str() + us + 1);
            std::string tableSql;
            for (const SchemaRow& r : m_schemaRows)
                if (r.type == "table" && tableNamed(r.name) == table)
                    tableSql = r.sql;
            const auto all = autoIndexColumns(tableSql, tl);
            if (n < 1 || size_t(n) > all.size())
                return -1;
            cols = all[size_t(n - 1)];
        } else {
            return -1;
        }
        IndexLayout il;
        il.table = table;
        for (int c : cols) {
            // Stored order equals table order in rowid tables.
            if (tl.table.columns[size_t(c)].rowidAlias)
                return -1;
            il.columns.push_back(c);
        }
        m_indexes.push_back(std::move(il));
        return int(m_indexes.size() - 1);
    }

    std::vector<TableLayout> m_tables;
    std::vector<std::vector<int>> m_byCount;
    size_t m_maxColumns = 0;
    bool m_hasWithoutRowid = false;
    std::vector<SchemaRow> m_schemaRows;
    std::vector<IndexLayout> m_indexes;
    std::vector<uint32_t> m_indexRoots;
    std::vector<int> m_indexRootIds; // parallel to m_indexRoots
    std::vector<std::vector<uint16_t>> m_indexesOf;
};

} // namespace sqlcarve
