#ifndef GW_SESSION_H
#define GW_SESSION_H

// Serving one accepted client connection.  Called on the connection's own
// session thread; the descriptor stays owned by the listener, which closes
// it after this returns and may shut it down at any time to stop the
// session.  The session reads the fault script, sends the greeting, then
// reads and decodes requests one after another; each is served inline or,
// when it may take long or its reply is held back, on a worker thread.  It
// returns only after every job of the connection has ended.

#include <atomic>
#include <cstddef>
#include <cstdint>

// Longest wait for the next request before an idle session is closed.
constexpr int GW_IDLE_TIMEOUT_MS = 3600 * 1000;
// Longest wait for more bytes of a message that has begun.
constexpr int GW_READ_TIMEOUT_MS = 60 * 1000;
// Bytes read from the socket at a time.
constexpr size_t GW_READ_BUFFER = 64 * 1024;

// Names the fault script re-read at each session ("" or null: none).
// Main thread, start-up, before the first session; path must stay valid.
void gw_SessionSetup(const char *faultsPath);

// Why a session that did not log in within the site's login_timeout ends.
constexpr const char *GW_LOGIN_TIMEOUT_REASON = "no login within the login timeout";

// What the listener reads of a running session to tell a busy connection
// from an idle one when it must make room: whether it has logged in, when it
// last received bytes before that, and whether the listener closed it to
// make room (written by the listener, read here for the log).
struct gw_session_state_t {
    std::atomic<bool> loggedIn{false};
    std::atomic<int64_t> lastRecvMs{0}; // gw_MonotonicMs() of the last bytes before the login; 0: none yet
    std::atomic<bool> evicted{false};
    // Set by the listener before the session starts when its accept was not
    // logged (a flood of connections): the session logs it once it logs in.
    bool acceptUnlogged = false;
};

// Why a session that the listener closed to make room ends.
constexpr const char *GW_EVICTED_REASON = "closed to make room: idle before login";

// Milliseconds of CLOCK_MONOTONIC.
int64_t gw_MonotonicMs();

// Serves the connection fd from the peer (printable address) until it ends.
// A connection that has not logged in within the site's login_timeout is
// closed.  state (written here, read by the listener) says when bytes last
// arrived before the login and that the connection has authenticated.
// Returns the reason the session ends, a static string for the log.
const char *gw_SessionServe(int fd, uint64_t sessionId, const char *peer, gw_session_state_t *state);

#endif
