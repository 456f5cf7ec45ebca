#ifndef VELK_EXPANDPATH_H
#define VELK_EXPANDPATH_H

// "~" expansion of path names, on the local side and on the storage side.
// Initial thread (start-up and member selection).

#include <cstddef>

// Local "~" expansion into out (size bytes): "~" and "~/..." use the real
// user's home directory (looked up once), "~name/..." that user's (the last
// name looked up is remembered).  Other paths are copied.  0, or -1 with a
// message (status 71 for an unknown user, 64 when the result does not fit).
int velk_ExpandLocalPath(const char *in, char *out, size_t size);

// Storage-side "~" expansion: "~" and "~/..." use the gateway's working
// directory, "~principal/..." the principal's home directory from the
// gateway.  0, -1 (working directory unknown, status 71) or -2 (principal
// unknown, status 71; or the result does not fit, status 64).
int velk_ExpandQUORPath(const char *in, char *out, size_t size);

#endif
