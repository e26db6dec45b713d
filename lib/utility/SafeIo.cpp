#include "utility/SafeIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ibrio {

namespace {

std::string reason(int err)
{
    return std::strerror(err);
}

void setError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// New files get the usual permissions; mkstemp alone would leave them private to the owner.
mode_t creationMode()
{
    static const mode_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return mode_t(0666 & ~mask);
    }();
    return mode;
}

bool writeAll(int fd, const void* data, size_t size, int* err)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (n == 0) {
            *err = ENOSPC;
            return false;
        }
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Opened without blocking so that a FIFO is refused rather than waited on; once it is known to be
// a regular file, reads and writes block as usual.
void blockingAgain(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

} // namespace

std::string irregularFileKind(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return std::string();
    return fileKind(st.st_mode);
}

int openRegularFile(const std::string& path, uint64_t* size, std::string* error)
{
    // Non-blocking so that a FIFO planted under an expected name is refused instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, path + ": " + reason(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        setError(error, path + ": " + reason(errno));
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, path + ": " + fileKind(st.st_mode) + ", not read");
        ::close(fd);
        return -1;
    }
    blockingAgain(fd);
    if (size)
        *size = uint64_t(st.st_size);
    return fd;
}

int64_t readAt(int fd, void* buffer, size_t size, uint64_t offset)
{
    size_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? int64_t(done) : -1;
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    return int64_t(done);
}

bool readRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error)
{
    uint64_t size = 0;
    const int fd = openRegularFile(path, &size, error);
    if (fd < 0)
        return false;
    if (size > maxBytes) {
        setError(error, path + ": " + std::to_string(size) + " bytes, more than the " + std::to_string(maxBytes)
                            + " such a file may have");
        ::close(fd);
        return false;
    }
    bytes->assign(size_t(size), '\0');
    const int64_t n = size ? readAt(fd, &(*bytes)[0], size_t(size), 0) : 0;
    const int err = errno;
    ::close(fd);
    if (n < 0) {
        setError(error, path + ": " + reason(err));
        bytes->clear();
        return false;
    }
    bytes->resize(size_t(n));
    return true;
}

// ---------------------------------------------------------------------------------------------

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::fail(const std::string& what, int err)
{
    m_error = m_path + ": " + what + (err ? std::string(": ") + reason(err) : std::string());
    discard();
    return false;
}

bool OutputFile::open(const std::string& path, Mode mode)
{
    discard();
    m_error.clear();
    m_path = path;
    m_mode = mode;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (mode == NoReplace)
            return fail("already exists, not replaced", 0);
        if (!S_ISREG(st.st_mode))
            return fail(std::string("is ") + fileKind(st.st_mode) + ", not replaced", 0);
    } else if (errno != ENOENT) {
        return fail("cannot be checked", errno);
    }
    std::string temp = folderOf(path) + "/." + nameOf(path) + ".tmp-XXXXXX";
    std::vector<char> buffer(temp.begin(), temp.end());
    buffer.push_back('\0');
    // mkostemp creates exclusively: a link planted under the temporary name is never followed.
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0)
        return fail("cannot be created", errno);
    m_fd = fd;
    m_temp.assign(buffer.data());
    ::fchmod(m_fd, creationMode());
    return true;
}

bool OutputFile::write(const void* data, size_t size)
{
    if (m_fd < 0)
        return false;
    int err = 0;
    if (!writeAll(m_fd, data, size, &err))
        return fail("cannot be written", err);
    return true;
}

bool OutputFile::commit()
{
    if (m_fd < 0)
        return false;
    // Errors of delayed writes (a full disk on some file systems) surface only here.
    if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        return fail("cannot be written", errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return fail("cannot be written", errno);
    if (m_mode == NoReplace) {
        // link() never replaces; file systems without hard links fall back to a checked rename.
        if (::link(m_temp.c_str(), m_path.c_str()) == 0) {
            ::unlink(m_temp.c_str());
            m_temp.clear();
            return true;
        }
        if (errno == EEXIST)
            return fail("already exists, not replaced", 0);
        struct stat st {};
        if (::lstat(m_path.c_str(), &st) == 0)
            return fail("already exists, not replaced", 0);
    } else {
        struct stat st {};
        // rename() would replace a link planted since open() by the file, never write through it;
        // refusing keeps the rule that a link is never replaced.
        if (::lstat(m_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return fail(std::string("is ") + fileKind(st.st_mode) + ", not replaced", 0);
    }
    if (::rename(m_temp.c_str(), m_path.c_str()) != 0)
        return fail("cannot be moved into place", errno);
    m_temp.clear();
    return true;
}

void OutputFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
    }
}

bool writeFile(const std::string& path, const void* data, size_t size, OutputFile::Mode mode, std::string* error)
{
    OutputFile out;
    if (out.open(path, mode) && out.write(data, size) && out.commit())
        return true;
    setError(error, out.error());
    return false;
}

bool copyFile(const std::string& source, const std::string& target, std::string* error)
{
    uint64_t size = 0;
    const int in = openRegularFile(source, &size, error);
    if (in < 0)
        return false;
    OutputFile out;
    bool ok = out.open(target, OutputFile::NoReplace);
    std::vector<char> buffer(size_t(1) << 20);
    uint64_t offset = 0;
    while (ok && offset < size) {
        const size_t want = size_t(std::min<uint64_t>(buffer.size(), size - offset));
        const int64_t n = readAt(in, buffer.data(), want, offset);
        if (n < 0) {
            const int err = errno;
            ::close(in);
            setError(error, source + ": " + reason(err));
            return false;
        }
        if (n == 0)
            break; // the source shrank: what it still holds is copied
        ok = out.write(buffer.data(), size_t(n));
        offset += uint64_t(n);
    }
    ::close(in);
    if (ok && out.commit())
        return true;
    setError(error, out.error());
    return false;
}

int openAppendFile(const std::string& path, std::string* error)
{
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        setError(error, path + ": " + fileKind(existing.st_mode) + ", not written");
        return -1;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, creationMode());
    if (fd < 0) {
        setError(error, path + ": " + reason(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(error, path + ": " + (S_ISREG(st.st_mode) ? reason(errno) : std::string(fileKind(st.st_mode))));
        ::close(fd);
        return -1;
    }
    blockingAgain(fd);
    return fd;
}

// ---------------------------------------------------------------------------------------------

const char* workFolderPrefix()
{
    return "ibreader-work-";
}

namespace {

// The working folders alive, for removeWorkFoldersNow(): fixed slots it can read from a signal
// handler. A slot's path is whole before it is marked used.
constexpr int kWorkSlots = 32;
char g_workPaths[kWorkSlots][PATH_MAX];
volatile std::sig_atomic_t g_workUsed[kWorkSlots];
std::mutex g_workMutex;

void rememberWorkFolder(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return;
    std::lock_guard<std::mutex> lock(g_workMutex);
    for (int i = 0; i < kWorkSlots; ++i) {
        if (!g_workUsed[i]) {
            std::memcpy(g_workPaths[i], path.c_str(), path.size() + 1);
            g_workUsed[i] = 1;
            return;
        }
    }
}

} // namespace

void forgetWorkFolder(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_workMutex);
    for (int i = 0; i < kWorkSlots; ++i)
        if (g_workUsed[i] && path == g_workPaths[i])
            g_workUsed[i] = 0;
}

void removeWorkFoldersNow()
{
    for (int i = 0; i < kWorkSlots; ++i) {
        if (!g_workUsed[i])
            continue;
        // A child that only execs: a recursive walk of our own would need readdir, which a
        // handler may not call. _Fork runs no fork handlers (malloc's could wait on a lock the
        // interrupted code holds).
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        const pid_t pid = ::_Fork();
#else
        const pid_t pid = ::fork();
#endif
        if (pid == 0) {
            ::execl("/bin/rm", "rm", "-rf", "--", g_workPaths[i], static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid > 0) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

std::string createWorkFolder(std::string* error)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    std::string pattern = base + "/" + workFolderPrefix() + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        setError(error, "cannot create a working folder in " + base + ": " + reason(errno));
        return std::string();
    }
    rememberWorkFolder(buffer.data());
    return std::string(buffer.data());
}

namespace {

std::string absolutePath(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

// Removes "." and ".." and repeated slashes without touching the file system.
std::string cleanPath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        const size_t j = path.find('/', i);
        const std::string part = path.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

} // namespace

std::string resolvedPath(const std::string& path)
{
    // The kernel resolves "..", links included, for the part that exists; only the part not
    // created yet is cleaned by hand.
    std::string existing = absolutePath(path);
    while (existing.size() > 1 && existing.back() == '/')
        existing.pop_back();
    std::string rest;
    char buffer[PATH_MAX];
    int links = 0;
    while (!::realpath(existing.c_str(), buffer)) {
        if (existing == "/" || existing.empty())
            return cleanPath(absolutePath(path));
        // A link to nothing yet is where a write through it would land: its target is followed
        // (as often as the kernel would), not taken for the name of a file to be made.
        struct stat st {};
        char target[PATH_MAX];
        ssize_t length = 0;
        if (links < 40 && ::lstat(existing.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
            && (length = ::readlink(existing.c_str(), target, sizeof target)) > 0 && size_t(length) < sizeof target) {
            ++links;
            const std::string to(target, size_t(length));
            existing = to[0] == '/' ? to : folderOf(existing) + "/" + to;
            while (existing.size() > 1 && existing.back() == '/')
                existing.pop_back();
            continue;
        }
        const std::string name = nameOf(existing);
        rest = rest.empty() ? name : name + "/" + rest;
        existing = folderOf(existing);
    }
    const std::string resolved(buffer);
    return rest.empty() ? resolved : cleanPath(resolved + "/" + rest);
}

bool isSameOrInside(const std::string& path, const std::string& folder)
{
    if (path.empty() || folder.empty())
        return false;
    const std::string p = resolvedPath(path);
    std::string f = resolvedPath(folder);
    if (p == f)
        return true;
    if (f.back() != '/')
        f += '/';
    return p.compare(0, f.size(), f) == 0;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Mappings the SIGBUS handler may repair. Slots are claimed with a compare-and-swap so the
// handler, which may run at any moment, only ever sees complete entries.
constexpr int kSlots = 64;
struct Slot {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> shrunk{false};
    std::atomic<bool> used{false};
};
Slot g_slots[kSlots];
struct sigaction g_previous;
std::once_flag g_installed;

void onSigbus(int signo, siginfo_t* info, void* context)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Slot& s : g_slots) {
        if (!s.used.load(std::memory_order_acquire))
            continue;
        if (address < s.start.load(std::memory_order_relaxed) || address >= s.end.load(std::memory_order_relaxed))
            continue;
        // The file lost the page under the mapping: put a page of zeros there and let the read
        // go on; the owner learns of it through shrunk().
        const uintptr_t page = address & ~uintptr_t(::sysconf(_SC_PAGESIZE) - 1);
        void* p = ::mmap(reinterpret_cast<void*>(page), size_t(::sysconf(_SC_PAGESIZE)), PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED) {
            s.shrunk.store(true, std::memory_order_relaxed);
            return;
        }
        break;
    }
    // Not ours: behave as if this handler were not there.
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(signo, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signo);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void installHandler()
{
    struct sigaction action {};
    action.sa_sigaction = &onSigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
}

} // namespace

bool GuardedMapping::map(int fd, size_t size)
{
    if (m_data || size == 0)
        return false;
    std::call_once(g_installed, installHandler);
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i) {
        bool expected = false;
        if (g_slots[i].used.compare_exchange_strong(expected, true))
            slot = i;
    }
    if (slot < 0)
        return false;
    // The slot is claimed but empty (start == end == 0) until the mapping exists.
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        g_slots[slot].used.store(false, std::memory_order_release);
        return false;
    }
    Slot& s = g_slots[slot];
    s.shrunk.store(false);
    s.start.store(reinterpret_cast<uintptr_t>(p));
    s.end.store(reinterpret_cast<uintptr_t>(p) + size);
    m_data = static_cast<const uint8_t*>(p);
    m_size = size;
    m_slot = slot;
    return true;
}

bool GuardedMapping::shrunk() const
{
    return m_slot >= 0 && g_slots[m_slot].shrunk.load();
}

GuardedMapping::~GuardedMapping()
{
    if (!m_data)
        return;
    Slot& s = g_slots[m_slot];
    s.start.store(0);
    s.end.store(0);
    ::munmap(const_cast<uint8_t*>(m_data), m_size);
    s.used.store(false, std::memory_order_release);
}

} // namespace ibrio
