#pragma once

#include <functional>
#include <string>

// printf-style log line, UTF-8. Level 0: main events and failures; 1: trace lines and failures
// that do not stop the work; 2: detail. Lines above the threshold are dropped. Never throws and
// never affects the caller's work.
extern "C" void Log(const char* module, int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

namespace ibrlog {

// Threshold: lines with level <= threshold are written. Default 0, or $IBREADER_LOG_LEVEL.
void setLevel(int level);
int level();

// Writes to this file (appending) instead of stderr; empty path returns to stderr. Only a regular
// file (created when missing) is accepted; *error says why not.
bool setFile(const std::string& path, std::string* error = nullptr);

// Receives every line (module, level, text) whatever the threshold; for tests and front ends.
using Sink = std::function<void(const char* module, int level, const std::string& text)>;
void setSink(Sink sink);

} // namespace ibrlog
