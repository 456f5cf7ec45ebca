// The daemon log (see gw_log.h).  The descriptor number is chosen during
// start-up before threads exist and only read afterwards; a reopen puts a
// new file under the same number with dup3, which the kernel does
// atomically.  Each line is formatted on the caller's stack and written
// with one write() (or one syslog() call, which the C library serialises),
// so no lock is needed.

#include "gw_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// Written only during start-up and shut-down, while no other thread runs.
static int gw_logFd = STDERR_FILENO;
static bool gw_logOwned = false;
static char gw_logPath[PATH_MAX];  // the file's path, for gw_LogReopen
static bool gw_logSyslog = false;  // lines go to syslog(3)
static bool gw_logJournal = false; // standard error is the journal's stream

bool gw_LogStderrIsJournal()
{
    // systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it gave
    // the service; a redirected standard error no longer matches.
    const char *js = getenv("JOURNAL_STREAM");
    if (js == nullptr)
        return false;
    unsigned long long dev = 0, ino = 0;
    char tail = 0;
    if (sscanf(js, "%llu:%llu%c", &dev, &ino, &tail) != 2)
        return false;
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

static int gw_LogOpenFile(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    return fd < 0 ? -errno : fd;
}

int gw_LogOpen(const char *path)
{
    if (path == nullptr || *path == '\0') {
        gw_logJournal = !gw_logOwned && !gw_logSyslog && gw_LogStderrIsJournal();
        return 0;
    }
    if (strlen(path) >= sizeof gw_logPath)
        return -ENAMETOOLONG;
    int fd = gw_LogOpenFile(path);
    if (fd < 0)
        return fd;
    gw_LogClose();
    gw_logFd = fd;
    gw_logOwned = true;
    gw_logJournal = false;
    strcpy(gw_logPath, path);
    return 0;
}

void gw_LogUseSyslog()
{
    gw_LogClose();
    openlog("kylgwd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    gw_logSyslog = true;
    gw_logJournal = false;
}

int gw_ReopenOnto(const char *path, int fd)
{
    int nfd = gw_LogOpenFile(path);
    if (nfd < 0)
        return nfd;
    int rc = dup3(nfd, fd, O_CLOEXEC) < 0 ? -errno : 0;
    close(nfd);
    return rc;
}

int gw_LogReopen()
{
    return gw_logOwned ? gw_ReopenOnto(gw_logPath, gw_logFd) : 0;
}

void gw_LogClose()
{
    if (gw_logOwned)
        close(gw_logFd);
    gw_logFd = STDERR_FILENO;
    gw_logOwned = false;
    if (gw_logSyslog)
        closelog();
    gw_logSyslog = false;
}

bool gw_LogIsFile()
{
    return gw_logOwned;
}

bool gw_LogUsesStderr()
{
    return !gw_logOwned && !gw_logSyslog;
}

char *gw_LogTimestamp(char *buf, size_t size)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    gmtime_r(&ts.tv_sec, &tmv);
    snprintf(buf, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ts.tv_nsec / 1000000L);
    return buf;
}

__attribute__((format(printf, 3, 0))) static void gw_LogFormatV(gw_logline_t *out, int prio, const char *fmt,
                                                                va_list ap)
{
    char *line = out->text;
    const size_t size = sizeof out->text;
    int head = 0;
    if (gw_logJournal) {
        // The journal reads a leading "<N>" as the line's priority and
        // stamps time and pid itself.
        head = snprintf(line, size, "<%d>", prio);
    } else if (!gw_logSyslog) {
        char stamp[32];
        head =
            snprintf(line, size, "%s kylgwd[%ld]: ", gw_LogTimestamp(stamp, sizeof stamp), static_cast<long>(getpid()));
    }
    size_t len = head > 0 ? static_cast<size_t>(head) : 0;
    out->head = len;
    out->prio = prio;

    char raw[sizeof out->text];
    int body = vsnprintf(raw, sizeof raw, fmt, ap);
    size_t rawLen = body < 0 ? 0 : std::min(static_cast<size_t>(body), sizeof raw - 1);
    // Texts from peers must neither forge extra log lines nor send control
    // sequences to whoever reads the log on a terminal: line ends become
    // spaces, other control bytes and the backslash are written as "\ooo" and
    // "\\".  A line cut for room ends in "..." so nobody mistakes it for the
    // whole text; one byte is left for the newline.
    bool cut = body >= static_cast<int>(sizeof raw);
    for (size_t i = 0; i < rawLen; i++) {
        const unsigned char ch = static_cast<unsigned char>(raw[i]);
        char esc[8];
        size_t n = 1;
        esc[0] = static_cast<char>(ch);
        if (ch == '\n' || ch == '\r') {
            esc[0] = ' ';
        } else if (ch == '\\') {
            esc[1] = '\\';
            n = 2;
        } else if (ch < 0x20 || ch == 0x7f) {
            n = static_cast<size_t>(snprintf(esc, sizeof esc, "\\%03o", ch));
        }
        if (len + n >= size - 1) {
            cut = true;
            break;
        }
        memcpy(line + len, esc, n);
        len += n;
    }
    if (cut) {
        if (len + 3 > size - 1)
            len = size - 1 - 3;
        memcpy(line + len, "...", 3);
        len += 3;
    }
    line[len++] = '\n';
    out->len = len;
}

void gw_LogFormat(gw_logline_t *line, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    gw_LogFormatV(line, GW_LOG_PRIO_INFO, fmt, ap);
    va_end(ap);
}

void gw_Log(const char *fmt, ...)
{
    gw_logline_t line;
    va_list ap;
    va_start(ap, fmt);
    gw_LogFormatV(&line, GW_LOG_PRIO_INFO, fmt, ap);
    va_end(ap);
    gw_LogWrite(&line);
}

__attribute__((format(printf, 3, 4))) static void gw_LogFormatPrio(gw_logline_t *line, int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    gw_LogFormatV(line, prio, fmt, ap);
    va_end(ap);
}

void gw_LogWarning(const char *fmt, ...)
{
    char text[GW_LOG_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    gw_logline_t line;
    gw_LogFormatPrio(&line, GW_LOG_PRIO_WARNING, "warning: %s", text);
    gw_LogWrite(&line);
}

void gw_LogWrite(const gw_logline_t *line)
{
    if (gw_logSyslog) {
        // syslog adds its own newline.
        int n = static_cast<int>(line->len - line->head - 1);
        syslog(line->prio == GW_LOG_PRIO_WARNING ? LOG_WARNING : LOG_INFO, "%.*s", n, line->text + line->head);
        return;
    }
    size_t off = 0;
    while (off < line->len) {
        ssize_t w = write(gw_logFd, line->text + off, line->len - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        off += static_cast<size_t>(w);
    }
}
