#ifndef VELK_GATEWAYRENAME_H
#define VELK_GATEWAYRENAME_H

// A rename through the gateway that survives losing its reply.  The
// gateway's rename replaces the target in one step; when the connection
// ends after the request went out, the client cannot tell from the reply
// whether it was done, so it opens a new session and looks at both names.
// Initial thread only; no locks of its own (the client library's).

#include <climits>

// Result of velk_GatewayRename when the connection was lost with the
// rename and the names could not tell whether it was done.  No errno value
// or gateway code has this value.
constexpr int VELK_RENAME_UNKNOWN = INT_MIN;

// True when rc, the result of a gateway request, says the connection ended
// (or broke) before its reply arrived.
[[nodiscard]] bool velk_ConnectionLost(int rc);

// What a lost rename did, from what looking at both names afterwards gave
// (0: the name exists, -ENOENT: it does not, any other code: no answer):
// 0 when it was done (from gone, to there), lost (the request's own
// result) when it was not (from still there), else VELK_RENAME_UNKNOWN.
[[nodiscard]] int velk_RenameOutcome(int lost, int fromSeen, int toSeen);

// Renames the file from over to in the current archive kind's file system
// through the gateway.  After a lost reply the next call opens a new
// session; both names are looked at (with warnings on standard error), and
// a rename that was not done is asked for once more.  Returns 0 when to
// holds what from held, the gateway's negative code when the rename was
// not done (from still stands), or VELK_RENAME_UNKNOWN.
[[nodiscard]] int velk_GatewayRename(const char *from, const char *to);

#endif
