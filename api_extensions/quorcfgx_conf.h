#ifndef QUORCFGX_CONF_H
#define QUORCFGX_CONF_H

// The site configuration file, QUOR.conf: found along a directory search
// path, parsed once per process under the configuration mutex and kept for
// the life of the process; and the host-name lookup that picks a stanza by
// the host-name patterns in its key.  Any thread may call these.
//
// Results: 0 on success, else a negative code (a negated errno value, or
// the QUOR_CFG_E_* code of a parse); ConfParse and LookupHostName return
// the tree or a stanza, or null.

#include "quorcfgx_stanza.h"

// Longest line of a site file, without its newline; a longer one is
// reported with its line number and skipped.
constexpr size_t QUORCFGX_SITE_LINE_MAX = 511;
// Longest path of the file (directory, "/", name).
constexpr size_t QUORCFGX_PATH_MAX = 4095;

// Set the file name (default "QUOR.conf") and the directory list (":"
// separated; default QUOR_CFG_FILE_PATH, else "/usr/local/etc:/var/quor/etc")
// used by the first parse.  Each copies its argument.  0, -EFAULT for
// null, -ENOMEM.
int quorcfgx_ConfSetFileName(const char *name);
int quorcfgx_ConfSetDirPaths(const char *paths);

// The QUOR.conf tree, parsed on the first call (takes the configuration
// mutex).  pathOut (QUORCFGX_PATH_MAX + 1 bytes, may be null) receives the
// path of the file read, empty when none was found.  Null when there is no
// file, it could not be parsed (reported once) or it holds no stanza.  The
// tree is read-only and lives until quorcfgx_ConfForget.
quor_cfg_stanza_t *quorcfgx_ConfParse(char *pathOut);

// Drops the cached tree so that the next quorcfgx_ConfParse reads the file
// again.  Only for a process that knows no other thread holds the tree
// (tests).
void quorcfgx_ConfForget();

// Parses a site-syntax file at path as quorcfgx_CfgParse does (0 or a
// QUOR_CFG_E_* code), except that lines longer than QUORCFGX_SITE_LINE_MAX
// are reported to the message sink with their line number (tagged with
// routine) and skipped.
[[nodiscard]] int quorcfgx_ParseSiteFile(const char *path, const char *routine, quor_cfg_stanza_t **list, int *error,
                                         unsigned *line);

// The first stanza of list whose key holds a blank-separated word ("\"
// escapes the next character) that matches host as a shell pattern.  With
// stripDomain, host loses the system's domain name (and the dot before it)
// when it ends with it.  Null if none.
quor_cfg_stanza_t *quorcfgx_LookupHostName(quor_cfg_stanza_t *list, const char *host, int stripDomain);

#endif
