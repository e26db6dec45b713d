// Feeds arbitrary bytes to the Safari property-list readers (Bookmarks.plist, History.plist).
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include "CBookmarkCollection.h"
#include "utility/SafeIo.h"
#include "kddata/KdData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/fuzz_safari_" + std::to_string(getpid()) + ".plist";
    std::string error;
    if (!ibrio::writeFile(path, data, size, ibrio::OutputFile::Replace, &error))
        return 0;
    KdData items(KdData::SafariBookmarks);
    parseHistoryPlist(&items, QString::fromStdString(path));
    parseReadingListPlist(&items, QString::fromStdString(path));
    return 0;
}
