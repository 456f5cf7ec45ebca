#ifndef QUORCFGX_STANZA_H
#define QUORCFGX_STANZA_H

// The stanza syntax shared by the site configuration file and kylgwd's
// configuration: "Key = Value", "Key = { ... }" nested, a key alone (a
// flag), ";" and "#" comments.  The parser turns a file (or text in memory)
// into a plain tree of quor_cfg_stanza_t nodes; what the keys mean is up to
// the reader of the tree.  Every input is bounded: line length, nesting
// depth and entry count have named caps, and a violation is reported with
// its error code and line.  No global state, no locks: any thread may parse.
//
// Results: 0 on success, else a negative QUOR_CFG_E_* code (the parsers
// also leave the code and its line in their out-parameters); the look-ups
// return a stanza or null.

#include <cstddef>
#include <cstdint>

enum QUOR_CFG_STANZA_TYPE {
    CFG_FLAG_TYPE = 0,     // a key alone
    CFG_SIMPLE_TYPE = 1,   // key = value
    CFG_COMPOUND_TYPE = 2, // key = { sub-stanzas }
};

// Parser states.
enum PARSER_STATES {
    TOK_INIT = 0,          // expecting a key or "}"
    TOK_KEYFOUND = 1,      // a key without "=" was read; the next token decides
    TOK_PARSEVAL = 2,      // after "=": expecting a value or "{"
    TOK_PARSECOMPOUND = 3, // not used by the parser
};

// One node per key.  Strings are malloc'd and owned by the tree.
struct quor_cfg_stanza_t {
    quor_cfg_stanza_t *next;          // next stanza at the same level
    int level;                        // not set by the parser (0)
    int type;                         // QUOR_CFG_STANZA_TYPE
    uint32_t Flags32;                 // for the users of the tree (0 from the parser)
    char *FileName;                   // not set by the parser (null)
    uint32_t LineNum;                 // line of the file where the key stands
    uint64_t Val64;                   // for the users of the tree
    char *KeyString;                  // the key, trimmed
    char *KeyValue;                   // the value of a simple stanza, trimmed; null otherwise
    size_t substanzaCount;            // number of direct sub-stanzas of a compound stanza
    quor_cfg_stanza_t *substanzaList; // first sub-stanza
};

// Caps on what the parser accepts.
constexpr size_t QUOR_CFG_LINE_MAX = 512;      // characters per line, without the newline
constexpr int QUOR_CFG_MAX_OPEN = 9;           // compound stanzas open at once
constexpr size_t QUOR_CFG_MAX_ENTRIES = 10000; // stanzas in one file

// Parser error codes.
constexpr int QUOR_CFG_E_OPEN = -7000;    // the file can't be opened
constexpr int QUOR_CFG_E_LINELEN = -7001; // a line longer than QUOR_CFG_LINE_MAX, or holding a NUL byte
constexpr int QUOR_CFG_E_NOMEM = -7002;   // memory exhausted
constexpr int QUOR_CFG_E_DEPTH = -7003;   // compound stanzas nested too deep
constexpr int QUOR_CFG_E_BRACE = -7004;   // "{" where none may stand, or end of file inside a stanza
constexpr int QUOR_CFG_E_CLOSE = -7005;   // "}" without an open compound stanza
constexpr int QUOR_CFG_E_ENTRIES = -7006; // more than QUOR_CFG_MAX_ENTRIES stanzas
constexpr int QUOR_CFG_E_NOKEY = -7007;   // "=" with no key before it

// Parses the file at path into *list.  Returns 0 with *list set (null for a
// file without stanzas; the caller frees it with quorcfgx_CfgFree), or a
// QUOR_CFG_E_* code, also set in *error, with *line set to the line it
// concerns (0 when the file could not be opened); the partial tree is freed.
[[nodiscard]] int quorcfgx_CfgParse(const char *path, quor_cfg_stanza_t **list, int *error, unsigned *line);

// Called for each line longer than the limit, with its line number.
using quor_cfg_longline_t = void (*)(void *ctx, unsigned line);

// As quorcfgx_CfgParse, except that a line longer than maxLen characters (at
// most QUOR_CFG_LINE_MAX) is skipped whole and reported through onLong
// (which must not be null) instead of ending the parse.
[[nodiscard]] int quorcfgx_CfgParseSkipLong(const char *path, size_t maxLen, quor_cfg_longline_t onLong, void *ctx,
                                            quor_cfg_stanza_t **list, int *error, unsigned *line);

// As quorcfgx_CfgParse, over len bytes of text in memory.
[[nodiscard]] int quorcfgx_CfgParseText(const char *text, size_t len, quor_cfg_stanza_t **list, int *error,
                                        unsigned *line);

// A short English description of a QUOR_CFG_E_* code (static text).
const char *quorcfgx_CfgErrorText(int error);

// The first stanza of list (one level only) whose key equals key, compared
// case-insensitively when ignore_case is nonzero; null if none.
quor_cfg_stanza_t *quorcfgx_CfgFindKey(const char *key, quor_cfg_stanza_t *list, int ignore_case);

// The first stanza whose key (in_values 0) or value (in_values nonzero;
// flag stanzas skipped) contains token as a whole blank-separated word; with
// recurse, compound stanzas are searched depth-first.  Null if none.
quor_cfg_stanza_t *quorcfgx_CfgFindToken(const char *token, quor_cfg_stanza_t *list, int in_values, int recurse);

// Frees a list with its keys, values and sub-lists.  Null is allowed.
void quorcfgx_CfgFree(quor_cfg_stanza_t *list);

#endif
