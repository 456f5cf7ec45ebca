#ifndef GW_LOG_H
#define GW_LOG_H

// The daemon log: one line per event, "<UTC time> kylgwd[<pid>]: <text>".
// Every line goes out in a single write() to a descriptor opened with
// O_APPEND, so lines from concurrent session threads never interleave.
// Under systemd, when standard error is the journal's stream, lines carry
// only a "<priority>" prefix (the journal stamps time and pid itself); with
// --syslog they go to syslog(3) under the daemon facility.
// Texts that come from the network or from files are passed as "%s"
// arguments, never as the format.  A log file can be reopened at its path
// while threads write (after logrotate renamed it away): the new file
// replaces the old one under the same descriptor number, atomically.

#include <cstddef>

// Longest line written; longer texts are cut and end in "...".
constexpr size_t GW_LOG_LINE_MAX = 4096;

// Priorities of log lines (the syslog levels).
constexpr int GW_LOG_PRIO_WARNING = 4;
constexpr int GW_LOG_PRIO_INFO = 6;

// One formatted line, newline included.
struct gw_logline_t {
    char text[GW_LOG_LINE_MAX];
    size_t len;
    size_t head; // bytes of the time and pid (or priority) prefix before the text
    int prio;    // GW_LOG_PRIO_*
};

// Opens the log: appends to path, or writes to standard error when path is
// null or empty.  Call during start-up, before any other thread exists.
// Returns 0, or -errno when the file cannot be opened (the previous log
// stays in use).
[[nodiscard]] int gw_LogOpen(const char *path);

// Sends the log to syslog(3) (ident "kylgwd", facility daemon) instead.
// Call during start-up, before any other thread exists.
void gw_LogUseSyslog();

// Closes a log file opened by gw_LogOpen; later lines go to standard error.
// Call after every other thread has been joined.
void gw_LogClose();

// Opens the log file's path again and puts the new file in place of the
// old one: lines written afterwards go to the file now at that path.  A
// no-op for standard error.  Call from one thread at a time (the signal
// thread); writers need no lock.  Returns 0, or -errno when the path
// cannot be opened (the old file stays in use).
[[nodiscard]] int gw_LogReopen();

// True when the log is a file rather than standard error.
bool gw_LogIsFile();

// True when log lines are written to standard error (neither a file nor
// syslog), so a detaching daemon must keep its standard error open.
bool gw_LogUsesStderr();

// True when standard error is the systemd journal's stream (JOURNAL_STREAM
// names its device and inode).
bool gw_LogStderrIsJournal();

// Writes one timestamped line.  Safe from any thread; takes no lock.
void gw_Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same at warning priority; the text begins "warning: ".
void gw_LogWarning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Formats one line as gw_Log would write it, into *line.
void gw_LogFormat(gw_logline_t *line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes a line made by gw_LogFormat.  Safe from any thread; takes no lock.
void gw_LogWrite(const gw_logline_t *line);

// Opens path (O_APPEND, created 0644 when missing) and makes fd refer to
// the new file (dup3), so that a thread writing to fd at that moment
// writes whole lines to one file or the other.  Returns 0 or -errno (fd is
// then unchanged).  The event log uses it too.
[[nodiscard]] int gw_ReopenOnto(const char *path, int fd);

// Formats the current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ" into buf
// (at least 32 bytes).  Returns buf.
char *gw_LogTimestamp(char *buf, size_t size);

#endif
