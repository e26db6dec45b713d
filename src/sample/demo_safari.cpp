// Safari's property lists in the demo backup: the reading list in Bookmarks.plist and the
// history in History.plist, with a page reached through a redirect and visit counts.

#include <plist/plist.h>

#include <cstdlib>

#include "../backup/Plist.h"
#include "SampleBackup.h"

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
    return true;
}

const sample::CategoryRegistrar safariLists("safari lists", &writeSafariLists);

} // namespace
