#ifndef VELK_EXPIRE_H
#define VELK_EXPIRE_H

// Sets the site's expiration time on a file this run created in the
// storage system (an archive, or an index file before it takes its name).
// Called by the initial thread.

// When enabled (the run sets expiration times: the configuration's
// enable_expiration, with the rules loaded), reads path's attributes, asks
// the expiration rules for its time and stores it through the gateway.  0
// when set or when nothing is to be set (not enabled, no rule fits, or the time would not lie after the
// file's creation); a negative gateway code after its message, with exit
// status 71 (attributes unreadable) or 70 (the time could not be stored).
int velk_ExpireSetExpiration(int enabled, const char *path);

#endif
