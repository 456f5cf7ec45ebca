// The JSON-lines event log (see gw_events.h).  The descriptor number is
// set during start-up and shut-down only; a reopen replaces the file under
// it atomically (gw_ReopenOnto).  Any thread may emit.  No locks.

#include "gw_events.h"

#include "gw_log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// Written only during start-up and shut-down, while no other thread runs.
static int gw_eventsFd = -1;
static char gw_eventsPath[PATH_MAX]; // for gw_EventsReopen

int gw_EventsOpen(const char *path)
{
    if (strlen(path) >= sizeof gw_eventsPath)
        return -ENAMETOOLONG;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return -errno;
    gw_EventsClose();
    gw_eventsFd = fd;
    strcpy(gw_eventsPath, path);
    return 0;
}

int gw_EventsReopen()
{
    return gw_eventsFd >= 0 ? gw_ReopenOnto(gw_eventsPath, gw_eventsFd) : 0;
}

void gw_EventsClose()
{
    if (gw_eventsFd >= 0)
        close(gw_eventsFd);
    gw_eventsFd = -1;
}

static void gw_JsonString(std::string *out, const std::string &s)
{
    out->push_back('"');
    for (unsigned char c : s) {
        switch (c) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out->append(esc);
            } else {
                out->push_back(static_cast<char>(c));
            }
        }
    }
    out->push_back('"');
}

gw_event::gw_event(const char *name)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    line_ = "{\"ts\":" + std::to_string(ms) + ",\"event\":";
    gw_JsonString(&line_, name);
}

gw_event &gw_event::str(const char *key, const std::string &value)
{
    line_.push_back(',');
    gw_JsonString(&line_, key);
    line_.push_back(':');
    gw_JsonString(&line_, value);
    return *this;
}

gw_event &gw_event::num(const char *key, int64_t value)
{
    line_.push_back(',');
    gw_JsonString(&line_, key);
    line_.push_back(':');
    line_.append(std::to_string(value));
    return *this;
}

void gw_event::emit()
{
    if (gw_eventsFd < 0)
        return;
    std::string out = line_ + "}\n";
    size_t off = 0;
    while (off < out.size()) {
        ssize_t w = write(gw_eventsFd, out.data() + off, out.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        off += static_cast<size_t>(w);
    }
}
