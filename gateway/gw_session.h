#ifndef GW_SESSION_H
#define GW_SESSION_H

// Serving one accepted client connection.  Called on the connection's own
// session thread; the descriptor stays owned by the listener, which closes
// it after this returns and may shut it down at any time to stop the
// session.

#include <cstdint>

// Serves the connection fd from the peer (printable address) until it ends.
// Returns the reason the session ends, a static string for the log.
const char *gw_SessionServe(int fd, uint64_t sessionId, const char *peer);

#endif
