// Deleted rows of link tables (chat_message_join, chat_handle_join, message_attachment_join)
// that the carver read from what their freed cells kept, not from whole records.

#include "RecoveryContext_p.h"

#include "utility/Log.h"

#include <algorithm>

namespace sqlrecovery {

namespace {

std::string lowerName(const std::string& s)
{
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    return out;
}

} // namespace

void ScanContext::salvageLinks(const std::string& name)
{
    auto found = m_tables.find(lowerName(name));
    if (found == m_tables.end() || !found->second.schema)
        return;
    CarvedTable& table = found->second;
    auto salvaged = [](const Row* row) { return row->salvaged; };
    if (!m_salvage) {
        table.rows.erase(std::remove_if(table.rows.begin(), table.rows.end(), salvaged), table.rows.end());
        m_rowidIndex.erase(lowerName(name));
        return;
    }
    if (const auto added = std::count_if(table.rows.begin(), table.rows.end(), salvaged))
        Log("SqliteRecovery", 1, " %d deleted rows of %s read from their remains", int(added), table.schema->name.c_str());
}

} // namespace sqlrecovery
