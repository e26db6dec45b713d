#include "ImageVfs_p.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace sqlrecovery::imagevfs {

const char kName[] = "ibreader-image";

namespace {

std::mutex g_mutex;
std::map<std::string, std::shared_ptr<const sqlcarve::Image>>& images()
{
    static std::map<std::string, std::shared_ptr<const sqlcarve::Image>> map;
    return map;
}

struct File {
    sqlite3_file base;
    std::shared_ptr<const sqlcarve::Image>* image; // owned; a connection keeps its image alive
};

const sqlcarve::Image& imageOf(sqlite3_file* f)
{
    return **reinterpret_cast<File*>(f)->image;
}

int fileClose(sqlite3_file* f)
{
    delete reinterpret_cast<File*>(f)->image;
    reinterpret_cast<File*>(f)->image = nullptr;
    return SQLITE_OK;
}

int fileRead(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset)
{
    if (amount < 0 || offset < 0)
        return SQLITE_IOERR_READ;
    // SQLite wants the unread rest zeroed on a short read, which read() does.
    return imageOf(f).read(uint64_t(offset), out, size_t(amount)) ? SQLITE_OK : SQLITE_IOERR_SHORT_READ;
}

int fileWrite(sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; }
int fileTruncate(sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; }
int fileSync(sqlite3_file*, int) { return SQLITE_OK; }
int fileSize(sqlite3_file* f, sqlite3_int64* size)
{
    *size = sqlite3_int64(imageOf(f).size());
    return SQLITE_OK;
}
int fileLock(sqlite3_file*, int) { return SQLITE_OK; }
int fileCheckReservedLock(sqlite3_file*, int* out)
{
    *out = 0;
    return SQLITE_OK;
}
int fileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int fileSectorSize(sqlite3_file*) { return 4096; }
int fileCharacteristics(sqlite3_file*) { return SQLITE_IOCAP_IMMUTABLE; }

const sqlite3_io_methods kMethods = [] {
    sqlite3_io_methods m{};
    m.iVersion = 1;
    m.xClose = fileClose;
    m.xRead = fileRead;
    m.xWrite = fileWrite;
    m.xTruncate = fileTruncate;
    m.xSync = fileSync;
    m.xFileSize = fileSize;
    m.xLock = fileLock;
    m.xUnlock = fileLock;
    m.xCheckReservedLock = fileCheckReservedLock;
    m.xFileControl = fileControl;
    m.xSectorSize = fileSectorSize;
    m.xDeviceCharacteristics = fileCharacteristics;
    return m;
}();

sqlite3_vfs* base()
{
    return sqlite3_vfs_find(nullptr);
}

// Only a registered image opens, and only as a main database: no journal, -wal or temporary file
// is ever made through this layer (temporary storage is kept in memory by the connection).
int vfsOpen(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags)
{
    auto* file = reinterpret_cast<File*>(f);
    file->base.pMethods = nullptr;
    file->image = nullptr;
    if (!name || !(flags & SQLITE_OPEN_MAIN_DB))
        return SQLITE_CANTOPEN;
    std::shared_ptr<const sqlcarve::Image> image;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = images().find(name);
        if (it == images().end())
            return SQLITE_CANTOPEN;
        image = it->second;
    }
    file->image = new (std::nothrow) std::shared_ptr<const sqlcarve::Image>(std::move(image));
    if (!file->image)
        return SQLITE_NOMEM;
    file->base.pMethods = &kMethods;
    if (outFlags)
        *outFlags = SQLITE_OPEN_READONLY;
    return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs*, const char*, int) { return SQLITE_IOERR_DELETE; }
int vfsAccess(sqlite3_vfs*, const char*, int, int* out)
{
    *out = 0; // no journal or -wal beside an image
    return SQLITE_OK;
}
int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    if (int(std::strlen(name)) >= size)
        return SQLITE_CANTOPEN;
    std::strcpy(out, name);
    return SQLITE_OK;
}
int vfsRandomness(sqlite3_vfs*, int n, char* out) { return base()->xRandomness(base(), n, out); }
int vfsSleep(sqlite3_vfs*, int micro) { return base()->xSleep(base(), micro); }
int vfsCurrentTime(sqlite3_vfs*, double* now) { return base()->xCurrentTime(base(), now); }
int vfsLastError(sqlite3_vfs*, int, char*) { return 0; }

sqlite3_vfs* layer()
{
    static sqlite3_vfs vfs = [] {
        sqlite3_vfs v{};
        v.iVersion = 1;
        v.szOsFile = int(sizeof(File));
        v.mxPathname = 256;
        v.zName = kName;
        v.xOpen = vfsOpen;
        v.xDelete = vfsDelete;
        v.xAccess = vfsAccess;
        v.xFullPathname = vfsFullPathname;
        v.xRandomness = vfsRandomness;
        v.xSleep = vfsSleep;
        v.xCurrentTime = vfsCurrentTime;
        v.xGetLastError = vfsLastError;
        return v;
    }();
    static const bool registered = sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    (void)registered;
    return &vfs;
}

} // namespace

std::string add(std::shared_ptr<const sqlcarve::Image> image)
{
    layer();
    static std::atomic<uint64_t> next{0};
    const std::string name = "image-" + std::to_string(++next);
    std::lock_guard<std::mutex> lock(g_mutex);
    images()[name] = std::move(image);
    return name;
}

void remove(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    images().erase(name);
}

} // namespace sqlrecovery::imagevfs
