#ifndef QUOR_API_H
#define QUOR_API_H

// Public interface of the gateway client library used by the archiver: the
// site information record, the password entry, the session-level calls the
// run sequence makes, and the thread utilities the transfer engine and the
// status thread use.  Every call returns 0 (or a non-negative value) on
// success and a negative gateway code or negated errno on failure.

#include <pthread.h>
#include <cstdint>

#include "kylgw_errors.h"
#include "kylgw_msg.h"

// A user's password entry as the gateway reports it.
struct quor_passwd_t {
    char pw_name[257];
    char pw_passwd[257];
    uint32_t pw_uid;
    uint32_t pw_gid;
    char pw_gecos[257];
    char pw_dir[1025];
    char pw_shell[257];
};

// Session-level operations.  Each opens the gateway session on first use.
// Return the gateway's result: 0 or negative.

// Opens the gateway log of this session under the subsystem name.
[[nodiscard]] int quor_Openlog(uint32_t flags, const char *subsys);
// Appends one text to the gateway log with the given priority (class).
int quor_Logmsg(uint32_t flags, uint32_t priority, const char *msgtext);
// Closes the gateway log of this session.
int quor_Closelog(uint32_t flags);
// Copies the current connection's site information: 0, -14 or -2.
[[nodiscard]] int quorex_GetSiteInfo(quor_site_info_t *info);
// Selects the account to charge, by code or by name.
[[nodiscard]] int quor_SetAcct(uint32_t account);
[[nodiscard]] int quor_SetAcctByName(const char *name);
// Reads the default and current account codes.
[[nodiscard]] int quor_GetAcct(uint32_t *defaultAcct, uint32_t *currentAcct);
// Reads the password entry of name ("" for the session's own user).
[[nodiscard]] int quor_GetPwent(const char *name, quor_passwd_t *pw);
// Sets the session umask; returns the previous mask, 0 on any failure.
int quor_Umask(int mask);
// Copies the session's working directory into buf (size bytes).
[[nodiscard]] int quor_Getcwd(char *buf, int size);
// Copies the file-system gateway's working directory into buf.
[[nodiscard]] int kylgw_LfxGetcwd(char *buf, int size);
// Copies the home directory of a storage-system principal into buf.
[[nodiscard]] int quor_LookupHomeDir(const char *principal, char *buf, int size);

// Thread utilities.

// Stack size of threads made with kylgw_ThreadAttrInit attributes.
extern long kylgw_thread_ssize;
// Initialises attr with the library's stack size; 0 or a positive errno.
int kylgw_ThreadAttrInit(pthread_attr_t *attr);
// Creates a thread (attr may be null for the library's defaults), retrying
// up to 5 times a second apart while creation fails with EAGAIN; 0 or the
// last error number.
int kylgw_ThreadCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg);
// Sleeps the interval, restarting it whole when a signal interrupts it.
void kylgw_ThreadSleep(unsigned int seconds, unsigned int microseconds);
// Yields the processor.
void kylgw_ThreadYield();

#endif
