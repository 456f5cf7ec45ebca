// Shell-style name matching: one matching loop for both flavours.  The loop
// walks name and pattern together and remembers only the latest "*" (where
// it stood in the pattern and how much of the name it has taken), so a
// mismatch retries from there with the star taking one more character; an
// earlier star never needs retrying because the later one can take anything
// it could.  A brace list is matched by trying each alternative joined to the
// rest of the pattern against the rest of the name.  Pure functions, no state.

#include "quorcfgx_match.h"

#include <cstring>
#include <new>
#include <string>

namespace {

struct matchMode_t {
    bool member;        // member flavour: "/" ends a component, unclosed "[" is literal
    size_t maxCombined; // longest combined brace pattern
    size_t prefixMax;   // longest pattern text before a brace (0: unbounded)
    quorcfgx_descend_t descend;
    void *ctx;
    int *errors;
    long *tries; // brace alternatives tried so far in this match
};

void countError(const matchMode_t &m)
{
    if (m.errors != nullptr)
        ++*m.errors;
}

// Matches c against the class that opens at p ("["): 1 hit, 0 miss, -1 when
// no "]" closes it.  *after is set to the character after the "]".
int classMatch(const char *p, char c, const char **after)
{
    const unsigned char uc = static_cast<unsigned char>(c);
    bool hit = false;
    for (const char *q = p + 1; *q != '\0'; ++q) {
        if (*q == ']') {
            *after = q + 1;
            return hit ? 1 : 0;
        }
        unsigned char lo = static_cast<unsigned char>(*q);
        if (*q == '\\' && q[1] != '\0')
            lo = static_cast<unsigned char>(*++q);
        unsigned char hi = lo;
        if (q[1] == '-' && q[2] != ']' && q[2] != '\0') {
            q += 2;
            if (*q == '\\' && q[1] != '\0')
                ++q;
            hi = static_cast<unsigned char>(*q);
        }
        if (uc >= lo && uc <= hi)
            hit = true;
    }
    return -1;
}

int matchFrom(const char *name, const char *pattern, size_t prefixLen, const matchMode_t &m, int depth);

struct braceCtx_t {
    const char *name;
    const matchMode_t *mode;
    size_t prefixLen;
    int depth;
    int result;
};

int tryAlternative(void *vctx, const char *combined)
{
    auto *b = static_cast<braceCtx_t *>(vctx);
    if (++*b->mode->tries > QUORCFGX_BRACE_TRIES_MAX) {
        if (*b->mode->tries == QUORCFGX_BRACE_TRIES_MAX + 1)
            countError(*b->mode);
        b->result = QUORCFGX_MATCH_NONE;
        return 1;
    }
    b->result = matchFrom(b->name, combined, b->prefixLen, *b->mode, b->depth);
    return b->result != QUORCFGX_MATCH_NONE;
}

// The brace list at pattern (its "{") against name.
int braceMatch(const char *name, const char *pattern, size_t prefixLen, const matchMode_t &m, int depth)
{
    if (*m.tries > QUORCFGX_BRACE_TRIES_MAX)
        return QUORCFGX_MATCH_NONE; // counted when the budget ran out
    if (depth > QUORCFGX_BRACE_DEPTH_MAX || (m.prefixMax > 0 && prefixLen > m.prefixMax)) {
        countError(m);
        return QUORCFGX_MATCH_NONE;
    }
    braceCtx_t b = {name, &m, prefixLen, depth, QUORCFGX_MATCH_NONE};
    size_t room = m.maxCombined > prefixLen ? m.maxCombined - prefixLen : 0;
    int r = quorcfgx_BraceAlternatives(pattern, 0, room, tryAlternative, &b, nullptr);
    if (r < 0) {
        countError(m);
        return QUORCFGX_MATCH_NONE;
    }
    return b.result;
}

// Matches name against pattern; prefixLen is how much pattern text stood
// before this one (for the brace bounds).
int matchFrom(const char *name, const char *pattern, size_t prefixLen, const matchMode_t &m, int depth)
{
    const char *n = name;
    const char *p = pattern;
    const char *starP = nullptr; // pattern after the latest "*"
    const char *starN = nullptr; // where in the name that star's run ends
    for (;;) {
        bool ok = false;
        char c = *p;
        if (c == '*') {
            while (*p == '*')
                ++p;
            if (*p == '\0')
                return QUORCFGX_MATCH_YES;
            if (m.member && *p == '/') {
                if (m.descend != nullptr)
                    m.descend(m.ctx, p + 1);
                return m.descend != nullptr ? QUORCFGX_MATCH_DESCENDED : QUORCFGX_MATCH_NONE;
            }
            starP = p;
            starN = n;
            continue;
        }
        if (c == '{') {
            int r = braceMatch(n, p, prefixLen + static_cast<size_t>(p - pattern), m, depth + 1);
            if (r != QUORCFGX_MATCH_NONE)
                return r;
        } else if (m.member && c == '/') {
            if (*n == '\0') {
                if (m.descend == nullptr)
                    return QUORCFGX_MATCH_NONE;
                m.descend(m.ctx, p + 1);
                return QUORCFGX_MATCH_DESCENDED;
            }
        } else if (c == '\0') {
            if (*n == '\0')
                return QUORCFGX_MATCH_YES;
        } else if (*n == '\0') {
            // The pattern wants a character the name does not have; a star
            // taking more would leave even less.
            return QUORCFGX_MATCH_NONE;
        } else if (c == '?') {
            ++p;
            ++n;
            ok = true;
        } else if (c == '[') {
            const char *after = nullptr;
            int r = classMatch(p, *n, &after);
            if (r < 0 && !m.member) {
                countError(m);
                return QUORCFGX_MATCH_NONE;
            }
            if (r < 0) {
                // An unclosed "[" stands for itself.
                r = *n == '[' ? 1 : 0;
                after = p + 1;
            }
            if (r == 1) {
                p = after;
                ++n;
                ok = true;
            }
        } else {
            if (c == '\\' && p[1] != '\0')
                c = *++p;
            if (*n == c) {
                ++p;
                ++n;
                ok = true;
            }
        }
        if (ok)
            continue;
        if (starP == nullptr || *starN == '\0')
            return QUORCFGX_MATCH_NONE;
        n = ++starN;
        p = starP;
    }
}

// Index of the "]" closing the group that opens at s[i], or npos.
size_t closeBracket(const char *s, size_t i)
{
    for (size_t k = i + 1; s[k] != '\0'; ++k) {
        if (s[k] == '\\' && s[k + 1] != '\0')
            ++k;
        else if (s[k] == ']')
            return k;
    }
    return std::string::npos;
}

} // namespace

int quorcfgx_PatternMatch(const char *name, const char *pattern, int *errors)
{
    long tries = 0;
    matchMode_t m = {false, QUORCFGX_BRACE_PATTERN_MAX, QUORCFGX_BRACE_PREFIX_MAX, nullptr, nullptr, errors, &tries};
    return matchFrom(name, pattern, 0, m, 0) == QUORCFGX_MATCH_YES ? 1 : 0;
}

int quorcfgx_MemberMatch(const char *name, const char *pattern, quorcfgx_descend_t descend, void *ctx)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        size_t k = strlen(name);
        if (strncmp(pattern, name, k) != 0 || (pattern[k] != '\0' && pattern[k] != '/'))
            return QUORCFGX_MATCH_NONE;
        if (pattern[k] == '\0')
            return QUORCFGX_MATCH_YES;
        if (descend == nullptr)
            return QUORCFGX_MATCH_NONE;
        descend(ctx, pattern + k + 1);
        return QUORCFGX_MATCH_DESCENDED;
    }
    long tries = 0;
    matchMode_t m = {true, QUORCFGX_MEMBER_PATTERN_MAX, 0, descend, ctx, nullptr, &tries};
    return matchFrom(name, pattern, 0, m, 0);
}

int quorcfgx_BraceAlternatives(const char *pattern, size_t open, size_t maxLen, quorcfgx_alternative_t each, void *ctx,
                               int *skipped)
{
    // Find the closing brace first, so that a malformed list yields nothing.
    int depth = 0;
    size_t close = std::string::npos;
    for (size_t k = open; pattern[k] != '\0' && close == std::string::npos; ++k) {
        char c = pattern[k];
        if (c == '\\' && pattern[k + 1] != '\0') {
            ++k;
        } else if (c == '[') {
            size_t e = closeBracket(pattern, k);
            if (e == std::string::npos)
                return QUORCFGX_E_BRACKET;
            k = e;
        } else if (c == '{') {
            if (++depth > QUORCFGX_BRACE_DEPTH_MAX)
                return QUORCFGX_E_DEPTH;
        } else if (c == '}' && --depth == 0) {
            close = k;
        }
    }
    if (close == std::string::npos)
        return QUORCFGX_E_BRACE;
    const char *rest = pattern + close + 1;
    size_t restLen = strlen(rest);
    int calls = 0;
    try {
        std::string combined;
        size_t start = open + 1;
        depth = 0;
        for (size_t k = open + 1; k <= close; ++k) {
            char c = pattern[k];
            if (c == '\\' && k + 1 < close) {
                ++k;
                continue;
            }
            if (c == '[') {
                k = closeBracket(pattern, k);
                continue;
            }
            if (c == '{')
                ++depth;
            else if (c == '}' && depth > 0 && k < close)
                --depth;
            if (!((c == ',' && depth == 0) || k == close))
                continue;
            size_t altLen = k - start;
            if (open + altLen + restLen > maxLen) {
                if (skipped != nullptr)
                    ++*skipped;
            } else {
                combined.assign(pattern, open);
                combined.append(pattern + start, altLen);
                combined.append(rest, restLen);
                ++calls;
                if (each(ctx, combined.c_str()) != 0)
                    break;
            }
            start = k + 1;
        }
    } catch (const std::bad_alloc &) {
        return QUORCFGX_E_NOMEM;
    }
    return calls;
}
