#pragma once

// File input and output for a program whose input is evidence and whose output folder may hold
// planted links: inputs are opened only when they are regular files, outputs are written
// beside their target and moved into place, never through a link.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ibrio {

// Opens a regular file for reading (also behind a symbolic link); FIFOs, devices, sockets and
// folders are refused without blocking. *size is taken from the opened file. -1 on failure, with
// the reason in *error. The caller closes the descriptor.
int openRegularFile(const std::string& path, uint64_t* size, std::string* error);

// The whole of a regular file of at most maxBytes. A file that shrinks while it is read gives
// what it still holds; one that grows is read up to the size it had when opened.
bool readRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error);

// What `path` is when it exists and is anything but a regular file ("a FIFO", "a folder", ...,
// links followed); empty for a regular file or a path that does not exist.
std::string irregularFileKind(const std::string& path);

// Up to `size` bytes at `offset`, retried on interruption; the count read, or -1.
int64_t readAt(int fd, void* buffer, size_t size, uint64_t offset);

// One output file: written into a new temporary file beside the target (created exclusively, so
// never through a link), every write checked, flushed to disk, then moved onto the target. A
// target that is a symbolic link or anything but a regular file is refused, never followed.
// On any failure the temporary file is removed and error() says what failed and why.
class OutputFile
{
public:
    enum Mode {
        Replace,  // an existing regular file is replaced
        NoReplace // an existing file of any kind is an error
    };
    OutputFile() = default;
    ~OutputFile(); // discards the file unless it was committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path, Mode mode = Replace);
    bool write(const void* data, size_t size);
    bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }
    bool commit();
    void discard();
    const std::string& error() const { return m_error; }

private:
    bool fail(const std::string& what, int err);
    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
    Mode m_mode = Replace;
    std::string m_error;
};

bool writeFile(const std::string& path, const void* data, size_t size, OutputFile::Mode mode, std::string* error);
// Copies a regular file to a target that must not exist yet.
bool copyFile(const std::string& source, const std::string& target, std::string* error);

// Opens a file for appending (log files): created when missing, refused when it is anything but
// a regular file; never blocks on a FIFO. -1 on failure.
int openAppendFile(const std::string& path, std::string* error);

// A new private folder (mode 0700) under $TMPDIR (or /tmp) named "ibreader-work-<pid>-XXXXXX":
// the process id lets a later run remove the folders of runs that were killed. Empty on failure.
std::string createWorkFolder(std::string* error);
const char* workFolderPrefix(); // "ibreader-work-"
// Its owner removed it (or is about to): a stop no longer needs to.
void forgetWorkFolder(const std::string& path);
// Removes every working folder this process made and still holds, with async-signal-safe calls
// only: for a signal handler that ends the process at once (their copies may be decrypted data).
void removeWorkFoldersNow();

// The path with its symbolic links resolved; for a path not created yet, its nearest existing
// ancestor resolved and the rest appended.
std::string resolvedPath(const std::string& path);
// Whether `path` is `folder` or lies below it, links resolved.
bool isSameOrInside(const std::string& path, const std::string& folder);

// A read-only mapping of a regular file that survives the file shrinking under it: pages past
// the new end read as zeros instead of raising SIGBUS, and shrunk() tells that it happened.
class GuardedMapping
{
public:
    GuardedMapping() = default;
    ~GuardedMapping();
    GuardedMapping(const GuardedMapping&) = delete;
    GuardedMapping& operator=(const GuardedMapping&) = delete;

    // Maps `size` bytes of `fd` from 0; false when the system refuses (the caller reads instead).
    bool map(int fd, size_t size);
    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool shrunk() const;

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    int m_slot = -1;
};

} // namespace ibrio
