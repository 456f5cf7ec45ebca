#ifndef QUOR_API_H
#define QUOR_API_H

// Public interface of the gateway client library used by the archiver: the
// site information record, the password entry, the session-level calls the
// run sequence makes, and the thread utilities the transfer engine and the
// status thread use.  Every call returns 0 (or a non-negative value) on
// success and a negative gateway code or negated errno on failure.

#include <pthread.h>
#include <cstddef>
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

// Authentication.  Method codes (bit values); COMBO, KEYTAB and PAM are
// built in, RECONNECT is used by the library after a retry-later answer.
constexpr int QUOR_AUTH_LOCAL = 0x2;
constexpr int QUOR_AUTH_KERBEROS = 0x8;
constexpr int QUOR_AUTH_COMBO = 0x10;
constexpr int QUOR_AUTH_MUNGE = 0x20;
constexpr int QUOR_AUTH_KEYTAB = 0x40;
constexpr int QUOR_AUTH_IDENT = 0x80;
constexpr int QUOR_AUTH_GSI = 0x100;
constexpr int QUOR_AUTH_PAM = 0x200;
constexpr int QUOR_AUTH_RECONNECT = 0x8000;

// The built-in methods (0x250) and the ciphers offered (AES only, 2).
uint32_t quorex_GetAuthMethods();
uint32_t quorex_GetCipherTypes();
// Writes the names of the bits set in mask, each followed by a blank, in the
// order COMBO GSI IDENT KERBEROS MUNGE KEYTAB LOCAL PAM (ciphers: GARBLE AES
// BLOWFISH 3DES) into buf.  Returns the length, -14 or -36 (buf too small).
int quorex_AuthTypesToString(uint32_t mask, char *buf, size_t size);
int quorex_CipherTypesToString(uint32_t mask, char *buf, size_t size);
// Makes the method list the single method code (16, 64, 512 or 32768) and
// marks the list as set by the program.  0 or -EINVAL.  Takes auth_lock.
int quor_SetAuthType(int code);
// The method being tried (or to be tried first); *count (may be null)
// receives the list's length.  Takes auth_lock.
int quor_GetAuthType(int *count);
// Builds the method list from the built-in codes among codes, warning on
// stderr about unknown codes and about known ones that are not built in;
// marks the list as set.  0, or -EINVAL for a negative count or null codes.
int quor_SetAuthMethodList(int count, const int *codes);
// Replaces the combo user name and/or password (null leaves one as it is).
// The password is kept until its first use and then wiped.  0 or -ENOMEM.
int quor_SetCombo(const char *user, const char *password);
// Sets the keytab file (validated: non-empty path -2, readable -errno, a
// regular file -9, no group or other permissions -1 with its message) and
// its key version; a user name also becomes the combo user.  0 or negative.
int quor_SetKeytabInfo(const char *user, const char *path, int keyVersion);

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
