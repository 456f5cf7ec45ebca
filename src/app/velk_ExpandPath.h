#ifndef VELK_EXPANDPATH_H
#define VELK_EXPANDPATH_H

// "~" expansion of path names, on the local side and on the storage side.
// Initial thread (start-up and member selection).

#include <cstddef>

// The home directories a run has looked up for local "~" names: the real
// user's, once known, and the last named user's.  Zeroed it knows none.
// The run owns it and passes it to each expansion.
struct velk_home_cache_t {
    char ownHome[4097];
    bool ownHomeKnown;
    char lastUser[256]; // "" before the first "~name"
    char lastUserHome[4097];
};

// Local "~" expansion into out (size bytes): "~" and "~/..." use the real
// user's home directory (looked up once per cache), "~name/..." that
// user's (the last name looked up is remembered in homes).  Other paths
// are copied.  A null homes looks every name up afresh.  0, or -1 with a
// message (status 71 for an unknown user, 64 when the result does not fit).
int velk_ExpandLocalPath(velk_home_cache_t *homes, const char *in, char *out, size_t size);

// Storage-side "~" expansion: "~" and "~/..." use the gateway's working
// directory, "~principal/..." the principal's home directory from the
// gateway.  0, -1 (working directory unknown, status 71) or -2 (principal
// unknown, status 71; or the result does not fit, status 64).
int velk_ExpandQUORPath(const char *in, char *out, size_t size);

#endif
