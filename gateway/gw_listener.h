#ifndef GW_LISTENER_H
#define GW_LISTENER_H

// The listening socket, the accept loop and the table of sessions.  Each
// accepted connection gets TCP keep-alive and runs on its own session
// thread; the main thread accepts, reaps finished sessions and, when a stop
// signal arrives, closes every session and joins every thread.  A connection
// that has sent nothing for a while without logging in is idle; when a peer
// address has the site's max_preauth_per_peer idle connections, or
// max_sessions sessions are open, the idle connection that has waited
// longest is closed to make room for the newcomer.  A connection exchanging
// login messages is never the one closed, and only when none is idle is a
// newcomer refused (closings and refusals are logged at most every few
// seconds).  So idle connections cannot lock real users out.  Locks:
// gw_sessionsMutex (a leaf lock, held only around the session table).

#include <cstddef>
#include <string>

// Slots of the session table: the most sessions open or closing at once
// (the site's max_sessions is at most this).
constexpr size_t GW_SESSION_SLOTS = 4096;
// Room for "[IPv6 address]:port" and the terminating NUL.
constexpr size_t GW_PEER_TEXT_MAX = 64;

// Formats a socket address as "a.b.c.d:port" or "[v6]:port" into buf.
void gw_FormatAddress(const void *sa, unsigned len, char *buf, size_t size);

// Opens a TCP socket listening on host:port (port 0 = any free port).
// Returns the descriptor, with the bound address in *bound ("host:port")
// and the port in *boundPort; or -1 with a one-line message in *err.
[[nodiscard]] int gw_ListenOpen(const std::string &host, int port, std::string *bound, int *boundPort,
                                std::string *err);

// Accepts connections on listenFd until sigFd (a signalfd) reports a
// signal, then stops accepting, closes the listening socket and every
// session and joins their threads.  Returns the number of the signal that
// stopped it, or -errno when the loop failed (sessions are still closed and
// joined).  Call once, from the main thread.
[[nodiscard]] int gw_ServeUntilSignal(int listenFd, int sigFd);

#endif
