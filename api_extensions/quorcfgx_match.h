#ifndef QUORCFGX_MATCH_H
#define QUORCFGX_MATCH_H

// Shell-style name matching shared by the site configuration, the exclusion
// rules and member selection: "*", "?", "[...]" classes, "{a,b}" lists and
// "\" escapes.  Two flavours: the pattern matcher, where "/" is an ordinary
// character and a malformed pattern counts an error, and the member matcher,
// where "/" ends a path component and hands the rest of the pattern to the
// caller.  Star matching keeps one backtrack point, so a match costs time
// linear in the name for every brace-free pattern.  No global state, no locks.
//
// Results: the matchers answer QUORCFGX_MATCH_* (the pattern matcher 1 or
// 0); the brace expansion returns a count or a negative QUORCFGX_E_* code.

#include <cstddef>

// Results of quorcfgx_MemberMatch.
constexpr int QUORCFGX_MATCH_NONE = 0;
constexpr int QUORCFGX_MATCH_YES = 1;
constexpr int QUORCFGX_MATCH_DESCENDED = 2; // the name matched up to a "/": the descent hook ran

// Bounds of brace lists.
constexpr size_t QUORCFGX_BRACE_PREFIX_MAX = 1023;   // pattern text before a brace (pattern matcher)
constexpr size_t QUORCFGX_BRACE_PATTERN_MAX = 1024;  // combined pattern (pattern matcher)
constexpr size_t QUORCFGX_MEMBER_PATTERN_MAX = 4095; // combined pattern (member matcher, one path)
constexpr int QUORCFGX_BRACE_DEPTH_MAX = 32;         // nested braces
// Alternatives one match (or one expansion) may try in all: lists in a row
// multiply, so "{,}" written 30 times would otherwise mean 2^30 tries.
constexpr long QUORCFGX_BRACE_TRIES_MAX = 100000;

// Errors of quorcfgx_BraceAlternatives.
constexpr int QUORCFGX_E_BRACKET = -1; // a "[" group inside the braces is not closed
constexpr int QUORCFGX_E_BRACE = -2;   // no "}" closes the "{"
constexpr int QUORCFGX_E_DEPTH = -3;   // braces nested deeper than QUORCFGX_BRACE_DEPTH_MAX
constexpr int QUORCFGX_E_NOMEM = -4;

// 1 when pattern matches the whole name, else 0.  "*" matches any run of
// characters ("/" included), "?" one character, "[...]" one character of a
// class of characters, "\" escapes and "a-z" ranges (no negation), "\" makes
// the next character literal, "{a,b}" tries each alternative in place.  An
// unclosed class, an unmatched brace, braces nested too deep and brace
// lists that would need more than QUORCFGX_BRACE_TRIES_MAX tries count one
// error in *errors (when not null) and do not match; an alternative whose
// combined pattern exceeds QUORCFGX_BRACE_PATTERN_MAX is skipped, and no
// alternative is tried after more than QUORCFGX_BRACE_PREFIX_MAX characters
// of pattern.
int quorcfgx_PatternMatch(const char *name, const char *pattern, int *errors);

// Called when the member matcher reaches an unescaped "/" of the pattern
// with the whole name matched; rest is the pattern after the "/" (valid for
// the call only).
using quorcfgx_descend_t = void (*)(void *ctx, const char *rest);

// Matches one path component name against pattern as member selection does:
// like quorcfgx_PatternMatch, except that "/" matches only the end of the
// name (then descend is called, when not null, and the result is
// QUORCFGX_MATCH_DESCENDED; at most one descent per call), a "[" that no "]"
// closes is an ordinary character, and the names "." and ".." match only a
// pattern component that spells them.  Returns QUORCFGX_MATCH_YES,
// QUORCFGX_MATCH_NONE or QUORCFGX_MATCH_DESCENDED; malformed braces, and
// brace lists past QUORCFGX_BRACE_TRIES_MAX tries, do not match.
int quorcfgx_MemberMatch(const char *name, const char *pattern, quorcfgx_descend_t descend, void *ctx);

// Called with each combined pattern of a brace list; nonzero stops.
using quorcfgx_alternative_t = int (*)(void *ctx, const char *combined);

// Expands the brace list that opens at pattern[open] ("{"): for each
// comma-separated alternative at depth 0 (nested braces and "[...]" groups
// kept whole, "\" escapes honoured), in the order written, calls each with
// the text before the brace, the alternative and the text after the closing
// brace.  Combined patterns longer than maxLen are skipped and counted in
// *skipped (when not null).  Returns the number of calls made, or a
// QUORCFGX_E_* code before any call.
int quorcfgx_BraceAlternatives(const char *pattern, size_t open, size_t maxLen, quorcfgx_alternative_t each, void *ctx,
                               int *skipped);

#endif
