// The daemon log (see gw_log.h).  The descriptor is chosen during start-up
// before threads exist and only read afterwards; each line is formatted on
// the caller's stack and written with one write(), so no lock is needed.

#include "gw_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// Written only during start-up and shut-down, while no other thread runs.
static int gw_logFd = STDERR_FILENO;
static bool gw_logOwned = false;

int gw_LogOpen(const char *path)
{
    if (path == nullptr || *path == '\0')
        return 0;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return -errno;
    gw_LogClose();
    gw_logFd = fd;
    gw_logOwned = true;
    return 0;
}

void gw_LogClose()
{
    if (gw_logOwned)
        close(gw_logFd);
    gw_logFd = STDERR_FILENO;
    gw_logOwned = false;
}

bool gw_LogIsFile()
{
    return gw_logOwned;
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

void gw_Log(const char *fmt, ...)
{
    char line[GW_LOG_LINE_MAX];
    char stamp[32];
    int head = snprintf(line, sizeof line, "%s kylgwd[%ld]: ", gw_LogTimestamp(stamp, sizeof stamp),
                        static_cast<long>(getpid()));
    size_t len = head > 0 ? static_cast<size_t>(head) : 0;

    va_list ap;
    va_start(ap, fmt);
    int body = vsnprintf(line + len, sizeof line - len, fmt, ap);
    va_end(ap);
    if (body < 0)
        body = 0;
    // Leave room for the newline; mark a cut line so nobody mistakes it for
    // the whole text.
    if (len + static_cast<size_t>(body) >= sizeof line - 1) {
        len = sizeof line - 1;
        memcpy(line + len - 3, "...", 3);
    } else {
        len += static_cast<size_t>(body);
    }
    // Control characters from peers must not forge extra log lines.
    for (size_t i = static_cast<size_t>(head > 0 ? head : 0); i < len; i++)
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    line[len++] = '\n';

    size_t off = 0;
    while (off < len) {
        ssize_t w = write(gw_logFd, line + off, len - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        off += static_cast<size_t>(w);
    }
}
