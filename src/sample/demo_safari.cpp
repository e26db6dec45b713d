// Safari's property lists in the demo backup: the reading list in Bookmarks.plist and the
// history in History.plist, with a page reached through a redirect and visit counts.

#include <plist/plist.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>

#include "../backup/Plist.h"
#include "SampleBackup.h"
#include "ibr/schemas.h"

namespace {

QByteArray binary(plist_t root)
{
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    const QByteArray out(bytes, int(length));
    std::free(bytes);
    return out;
}

plist_t page(const char* url, const char* title)
{
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "", plist_new_string(url));
    plist_dict_set_item(d, "title", plist_new_string(title));
    return d;
}

// From iOS 8 on every visit is a row of History.db: a page visited twice under two titles, and
// a short address that redirected.
bool writeHistoryDb(sample::SampleBackupWriter& w, const sample::DemoOptions& o)
{
    const int layout = std::clamp(o.iosMajor, 9, 11);
    return !w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/Safari/History.db"), [&](sqlite3* db) {
        QStringList sql;
        for (const QString& s : ibr::iosSchemaStatements(layout, QStringLiteral("History.db")))
            if (!s.contains(QLatin1String("sqlite_")))
                sql << QString(s).replace(QLatin1String("visit_count_score INTEGER NOT NULL"),
                                          QLatin1String("visit_count_score INTEGER NOT NULL DEFAULT 0"));
        sql << QStringLiteral("INSERT INTO history_items (id, url, visit_count, daily_visit_counts, "
                              "should_recompute_derived_visit_counts) VALUES (1, 'https://www.example.net/', 2 * %1, x'', 0), "
                              "(2, 'http://exmpl.example/x', 1, x'', 0), (3, 'https://www.example.net/landing', 1, x'', 0)")
                   .arg(qMax(1, o.scale));
        for (int i = 0; i < qMax(1, o.scale); ++i)
            sql << QStringLiteral("INSERT INTO history_visits (history_item, visit_time, title) VALUES (1, %1, 'Example'), "
                                  "(1, %2, 'Example, updated')")
                       .arg(479649600 + 86400 * i)
                       .arg(479653200 + 86400 * i);
        sql << QStringLiteral("INSERT INTO history_visits (id, history_item, visit_time, title, redirect_destination) "
                              "VALUES (100000, 2, 479660000, NULL, 100001)")
            << QStringLiteral("INSERT INTO history_visits (id, history_item, visit_time, title, redirect_source) "
                              "VALUES (100001, 3, 479660000.5, 'Landing page', 100000)");
        for (const QString& s : sql)
            if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
                return false;
        return true;
    }).isEmpty();
}

bool writeSafariLists(sample::SampleBackupWriter& w, const sample::DemoOptions& o)
{
    const PlistPtr bookmarks(plist_new_dict());
    plist_t children = plist_new_array();
    for (int i = 1; i <= 2 * qMax(1, o.scale); ++i) {
        plist_t entry = plist_new_dict();
        const QByteArray url = "https://news.example.org/story/" + QByteArray::number(i);
        const QByteArray title = "Saved story " + QByteArray::number(i);
        plist_dict_set_item(entry, "URIDictionary", page(url.constData(), title.constData()));
        plist_dict_set_item(entry, "URLString", plist_new_string(url.constData()));
        plist_array_append_item(children, entry);
    }
    plist_dict_set_item(bookmarks.get(), "Children", children);
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Safari/Bookmarks.plist"), binary(bookmarks.get()));

    const PlistPtr history(plist_new_dict());
    plist_t dates = plist_new_array();
    plist_t visited = page("http://example.com/", "Example Domain");
    plist_dict_set_item(visited, "visitCount", plist_new_uint(7));
    plist_dict_set_item(visited, "lastVisitedDate", plist_new_string("479649600.0"));
    plist_array_append_item(dates, visited);
    // A short address that redirected: the page it led to is the one worth listing.
    plist_t redirected = page("http://exmpl.example/x", "");
    plist_t redirects = plist_new_array();
    plist_array_append_item(redirects, plist_new_string("https://www.example.net/landing"));
    plist_dict_set_item(redirected, "redirectURLs", redirects);
    plist_dict_set_item(redirected, "visitCount", plist_new_uint(1));
    plist_array_append_item(dates, redirected);
    plist_dict_set_item(history.get(), "WebHistoryDates", dates);
    plist_dict_set_item(history.get(), "WebHistoryFileVersion", plist_new_uint(1));
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Safari/History.plist"), binary(history.get()));
    return o.iosMajor < 9 || writeHistoryDb(w, o);
}

const sample::CategoryRegistrar safariLists("safari lists", &writeSafariLists);

} // namespace
