#ifndef GW_EVENTS_H
#define GW_EVENTS_H

// The machine-readable event log (--events): one JSON object per line, so
// tests can assert on what happened without parsing the human log.  Every
// object has "ts" (milliseconds since the epoch) and "event"; the other keys
// depend on the event.  Lines are written with one write() on an O_APPEND
// descriptor, so session threads need no lock.

#include <cstdint>
#include <string>

// Opens path for appending.  Call during start-up before threads exist.
// Returns 0, or -errno.  Without a call, events are dropped.
[[nodiscard]] int gw_EventsOpen(const char *path);

// Opens the event log's path again, as gw_LogReopen does for the daemon
// log.  Returns 0 (also when no event log is open) or -errno.
[[nodiscard]] int gw_EventsReopen();

// Closes the event log.  Call after every other thread has been joined.
void gw_EventsClose();

// Builds one event line.  Keys are literals from the code; string values
// are escaped, so texts from the network are safe to pass.
class gw_event {
public:
    explicit gw_event(const char *name);
    gw_event &str(const char *key, const std::string &value);
    gw_event &num(const char *key, int64_t value);
    // Writes the line to the event log (no-op when none is open).
    void emit();
    // The line as it would be written, without the newline.
    std::string text() const { return line_ + "}"; }

private:
    std::string line_;
};

#endif
