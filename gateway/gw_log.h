#ifndef GW_LOG_H
#define GW_LOG_H

// The daemon log: one line per event, "<UTC time> kylgwd[<pid>]: <text>".
// Every line goes out in a single write() to a descriptor opened with
// O_APPEND, so lines from concurrent session threads never interleave.
// Texts that come from the network or from files are passed as "%s"
// arguments, never as the format.

#include <cstddef>

// Longest line written; longer texts are cut and end in "...".
constexpr size_t GW_LOG_LINE_MAX = 4096;

// Opens the log: appends to path, or writes to standard error when path is
// null or empty.  Call during start-up, before any other thread exists.
// Returns 0, or -errno when the file cannot be opened (the previous log
// stays in use).
[[nodiscard]] int gw_LogOpen(const char *path);

// Closes a log file opened by gw_LogOpen; later lines go to standard error.
// Call after every other thread has been joined.
void gw_LogClose();

// True when the log is a file rather than standard error.
bool gw_LogIsFile();

// Writes one timestamped line.  Safe from any thread; takes no lock.
void gw_Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Formats the current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ" into buf
// (at least 32 bytes).  Returns buf.
char *gw_LogTimestamp(char *buf, size_t size);

#endif
