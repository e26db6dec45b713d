#include "utility/Log.h"
#include "utility/SafeIo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct LogState {
    std::mutex mutex; // the download thread logs too
    int level = 0;
    FILE* file = nullptr;
    ibrlog::Sink sink;

    LogState()
    {
        if (const char* env = std::getenv("IBREADER_LOG_LEVEL"))
            level = std::atoi(env);
    }
    ~LogState()
    {
        if (file)
            std::fclose(file);
    }
};

LogState& state()
{
    static LogState s;
    return s;
}

} // namespace

extern "C" void Log(const char* module, int level, const char* format, ...)
{
    if (!format)
        return;
    LogState& s = state();
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        std::vector<char> buf(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buf.data(), buf.size(), format, args);
        text.assign(buf.data(), static_cast<size_t>(needed));
    }
    va_end(args);

    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink)
        s.sink(module ? module : "", level, text);
    if (level > s.level)
        return;
    FILE* out = s.file ? s.file : stderr;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::fprintf(out, "%s [%s] %d %s\n", stamp, module ? module : "", level, text.c_str());
    std::fflush(out);
}

namespace ibrlog {

void setLevel(int level)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().level = level;
}

int level()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().level;
}

bool setFile(const std::string& path, std::string* error)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file) {
        std::fclose(s.file);
        s.file = nullptr;
    }
    if (path.empty())
        return true;
    // Never a FIFO or device: the first line would block or go somewhere unexpected.
    const int fd = ibrio::openAppendFile(path, error);
    if (fd < 0)
        return false;
    s.file = fdopen(fd, "a");
    if (!s.file)
        ::close(fd);
    return s.file != nullptr;
}

void setSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().sink = std::move(sink);
}

} // namespace ibrlog
