// The netrc label and the netrc reader of the gateway login.  The label is
// process-wide, guarded by netrc_label_lock; the reader keeps its state on
// the stack and is called by the thread that opens a gateway connection.
// Messages about the file go to the message sink (quorex_msg.h); password
// text read from the file is wiped from the parser's buffers once copied out.

#include "quorex_netrc.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "kyl_mutex.h"
#include "quorex_crypto.h"
#include "quorex_msg.h"

namespace {
kyl_mutex_t netrc_label_lock;
char netrc_label[QUOREX_NETRC_LABEL_MAX + 1] KYL_GUARDED_BY(netrc_label_lock);
int netrc_label_type KYL_GUARDED_BY(netrc_label_lock) = 0;
} // namespace

int quorex_SetNetrcLabel(const char *name, int type)
{
    if (name == nullptr)
        return -EFAULT;
    if (type != QUOREX_NETRC_LABEL_HOST && type != QUOREX_NETRC_LABEL_PLAIN)
        return -EINVAL;
    size_t len = strlen(name);
    if (len > QUOREX_NETRC_LABEL_MAX)
        return -ENAMETOOLONG;
    kyl_lock_guard g(netrc_label_lock);
    memcpy(netrc_label, name, len + 1);
    netrc_label_type = type;
    return 0;
}

int quorex_GetNetrcLabel(char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return -EFAULT;
    kyl_lock_guard g(netrc_label_lock);
    snprintf(buf, static_cast<size_t>(size), "%s", netrc_label_type ? netrc_label : "");
    return netrc_label_type;
}

namespace {

constexpr size_t HOST_MAX = NI_MAXHOST;
constexpr size_t TOKEN_BUF = QUOREX_NETRC_TOKEN_MAX + 1;

// Result of reading one token.
enum TokenResult { TOK_EOF = 0, TOK_WORD = 1 };

struct FileCloser {
    FILE *f;
    ~FileCloser()
    {
        if (f != nullptr)
            fclose(f);
    }
};

// Frees a malloc'd text, wiping it first.
void freeSecret(char *s)
{
    if (s != nullptr) {
        quorex_Wipe(s, strlen(s));
        free(s);
    }
}

struct Parser {
    FILE *f = nullptr;
    bool othersMayRead = false; // the file has group or other permission bits
    int macros = 0;
    int macroBytes = 0;
    char tok[TOKEN_BUF] = {};
    bool pushedBack = false; // tok holds a keyword to read again

    ~Parser() { quorex_Wipe(tok, sizeof tok); }

    static bool isSeparator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == ','; }

    // Reads the next token into tok: separators are blanks, tabs, newlines
    // and commas; a token may be enclosed in double quotes; a backslash
    // takes the next character literally; characters past the token limit
    // are read and dropped.  The separator that ends a token is left in the
    // stream, so that a macro definition sees the end of its line.
    TokenResult next()
    {
        if (pushedBack) {
            pushedBack = false;
            return TOK_WORD;
        }
        int c;
        while ((c = getc(f)) != EOF && isSeparator(c)) {
        }
        if (c == EOF)
            return TOK_EOF;
        size_t n = 0;
        auto keep = [&](int ch) {
            if (n < QUOREX_NETRC_TOKEN_MAX)
                tok[n++] = static_cast<char>(ch);
        };
        if (c == '"') {
            while ((c = getc(f)) != EOF && c != '"') {
                if (c == '\\') {
                    c = getc(f);
                    if (c == EOF)
                        break;
                }
                keep(c);
            }
        } else {
            do {
                if (c == '\\') {
                    c = getc(f);
                    if (c == EOF)
                        break;
                }
                keep(c);
            } while ((c = getc(f)) != EOF && !isSeparator(c));
            if (c != EOF)
                ungetc(c, f);
        }
        tok[n] = '\0';
        return TOK_WORD;
    }

    bool is(const char *word) const { return strcmp(tok, word) == 0; }
    bool isEntryStart() const { return is("machine") || is("default"); }
    bool isValueKeyword() const { return is("login") || is("password") || is("passwd") || is("account"); }

    // A macro: its name (up to QUOREX_NETRC_MACRO_NAME_MAX characters) on the
    // keyword's line, then body lines up to an empty line.  Macros are
    // only checked against the limits; nothing here runs them.  0 or -1.
    int macdef()
    {
        int c;
        while ((c = getc(f)) != EOF && (c == ' ' || c == '\t')) {
        }
        if (c == EOF || c == '\n') {
            quorex_Print("Missing macdef name argument\n");
            return -EPERM;
        }
        if (macros == QUOREX_NETRC_MACROS_MAX) {
            quorex_Print("Limit of 16 macros have already been defined.\n");
            return -EPERM;
        }
        char name[QUOREX_NETRC_MACRO_NAME_MAX + 1];
        size_t n = 0;
        do {
            if (n < static_cast<size_t>(QUOREX_NETRC_MACRO_NAME_MAX))
                name[n++] = static_cast<char>(c);
        } while ((c = getc(f)) != EOF && c != ' ' && c != '\t' && c != '\n');
        name[n] = '\0';
        while (c != EOF && c != '\n')
            c = getc(f);
        if (c == EOF) {
            quorex_Print("Macro name missing null line terminator.\n");
            return -EPERM;
        }
        // Body: ends at an empty line, i.e. a newline right after a newline.
        bool atLineStart = true;
        bool anyBody = false;
        for (;;) {
            c = getc(f);
            if (c == EOF) {
                if (anyBody)
                    quorex_Print("Macro definition <%s> missing null line terminator.\n", name);
                else
                    quorex_Print("Macro definition missing null line terminator.\n");
                return -EPERM;
            }
            if (c == '\n' && atLineStart)
                break;
            anyBody = true;
            if (++macroBytes > QUOREX_NETRC_MACRO_BYTES_MAX) {
                quorex_Print("4K macro buffer exceeded.\n");
                return -EPERM;
            }
            atLineStart = (c == '\n');
        }
        macros++;
        return 0;
    }

    // The permission rule: a secret in a file that others may read.
    int refuseReadable(const char *what)
    {
        quorex_Print("Error: .netrc file is readable by others.");
        quorex_Print("Remove %s or make file unreadable by others.", what);
        return -EPERM;
    }

    // Skips the rest of an entry: up to the next "machine" or "default"
    // (left to be read again) or the end.  Values of value keywords are
    // consumed with them, so a password that happens to read "machine" does
    // not start an entry; macros are read whole.  0 or -1.
    int skipEntry()
    {
        while (next() == TOK_WORD) {
            if (isEntryStart()) {
                pushedBack = true;
                return 0;
            }
            if (is("macdef")) {
                if (macdef() != 0)
                    return -EPERM;
            } else if (isValueKeyword()) {
                if (next() == TOK_EOF)
                    return 0;
                quorex_Wipe(tok, sizeof tok);
            }
        }
        return 0;
    }
};

// Case-insensitive equality of the part before the first '.'.
bool firstPartEquals(const char *name, const char *host)
{
    const char *dot = strchr(host, '.');
    size_t n = dot != nullptr ? static_cast<size_t>(dot - host) : strlen(host);
    return strlen(name) == n && strncasecmp(name, host, n) == 0;
}

// The domain part (from the first '.') of a host name, or "".
const char *domainOf(const char *host)
{
    const char *dot = strchr(host, '.');
    return dot != nullptr ? dot : "";
}

// The official name of a host, by the system's host look-up.
bool officialNameIs(const char *name, const char *label)
{
    struct addrinfo hints = {};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    bool same = res->ai_canonname != nullptr && strcasecmp(res->ai_canonname, label) == 0;
    freeaddrinfo(res);
    return same;
}

struct MatchContext {
    const char *host; // the server's host name
    const char *label;
    int labelType;
    const char *localHost; // this host's name
};

// Does the entry "machine name" apply to the server?
bool machineMatches(const char *name, const MatchContext &m)
{
    if (strcasecmp(name, m.label) == 0 || strcasecmp(name, m.host) == 0)
        return true;
    const char *localDomain = domainOf(m.localHost);
    // A short name for a server in this host's own domain.
    if (*localDomain != '\0' && strcasecmp(domainOf(m.host), localDomain) == 0 && firstPartEquals(name, m.host))
        return true;
    if (m.labelType == QUOREX_NETRC_LABEL_HOST) {
        if (*localDomain != '\0' && strcasecmp(domainOf(m.label), localDomain) == 0 && firstPartEquals(name, m.label))
            return true;
        if (officialNameIs(name, m.label))
            return true;
    }
    return false;
}

// Takes copies of the entry's values into the outputs that are still null.
int commit(char **user, char **password, const char *login, const char *pass)
{
    char *u = nullptr;
    char *p = nullptr;
    if (*user == nullptr && login != nullptr && (u = strdup(login)) == nullptr)
        return -ENOMEM;
    if (*password == nullptr && pass != nullptr && (p = strdup(pass)) == nullptr) {
        free(u);
        return -ENOMEM;
    }
    if (u != nullptr)
        *user = u;
    if (p != nullptr)
        *password = p;
    return 0;
}

// Reads one matching entry.  *abandoned is set when its login differs from
// the known user.  0 (committed or abandoned), -1 or -12.
int readEntry(Parser &ps, char **user, char **password, bool *abandoned)
{
    *abandoned = false;
    char login[TOKEN_BUF] = {};
    char pass[TOKEN_BUF] = {};
    bool haveLogin = false;
    bool havePass = false;
    struct Wipe {
        char *p;
        ~Wipe() { quorex_Wipe(p, TOKEN_BUF); }
    } wipePass{pass};
    while (ps.next() == TOK_WORD) {
        if (ps.isEntryStart()) {
            ps.pushedBack = true;
            break;
        }
        if (ps.is("login")) {
            if (ps.next() == TOK_EOF)
                break;
            if (*user != nullptr && strcmp(ps.tok, *user) != 0) {
                *abandoned = true;
                return ps.skipEntry();
            }
            if (!haveLogin) {
                memcpy(login, ps.tok, sizeof login);
                haveLogin = true;
            }
        } else if (ps.is("password") || ps.is("passwd")) {
            if (ps.next() == TOK_EOF)
                break;
            const char *knownUser = *user != nullptr ? *user : (haveLogin ? login : "");
            if (ps.othersMayRead && strcmp(knownUser, "anonymous") != 0)
                return ps.refuseReadable("password");
            if (!havePass) {
                memcpy(pass, ps.tok, sizeof pass);
                havePass = true;
            }
            quorex_Wipe(ps.tok, sizeof ps.tok);
        } else if (ps.is("account")) {
            if (ps.next() == TOK_EOF)
                break;
            if (ps.othersMayRead)
                return ps.refuseReadable("account");
            // The account is read under the same rules but not handed out.
            char *acct = strdup(ps.tok);
            if (acct == nullptr) {
                quorex_Print("%s: strdup error for account '%s'\n", "quorex_ReadNetrc", ps.tok);
                return -ENOMEM;
            }
            freeSecret(acct);
            quorex_Wipe(ps.tok, sizeof ps.tok);
        } else if (ps.is("macdef")) {
            if (ps.macdef() != 0)
                return -EPERM;
        } else {
            quorex_Print("Unknown .netrc keyword %s\n", ps.tok);
        }
    }
    return commit(user, password, haveLogin ? login : nullptr, havePass ? pass : nullptr);
}

} // namespace

int quorex_ReadNetrc(const quor_sockaddr_t *server, char **user, char **password)
{
    if (server == nullptr || user == nullptr || password == nullptr)
        return -EFAULT;
    // The built-in methods always include the combo login, the one method
    // a netrc password serves.
    char host[HOST_MAX];
    int rc = getnameinfo(reinterpret_cast<const struct sockaddr *>(&server->hs_addr), server->hs_addrlen, host,
                         sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return rc < 0 ? rc : -rc;

    char label[QUOREX_NETRC_LABEL_MAX + 1];
    int labelType = quorex_GetNetrcLabel(label, sizeof label);
    if (labelType == 0) {
        (void)quorex_SetNetrcLabel(host, QUOREX_NETRC_LABEL_HOST);
        snprintf(label, sizeof label, "%s", host);
        labelType = QUOREX_NETRC_LABEL_HOST;
    }
    char localHost[HOST_MAX] = {};
    if (gethostname(localHost, sizeof localHost - 1) != 0)
        localHost[0] = '\0';

    const char *home = getenv("HOME");
    char path[4096];
    if (snprintf(path, sizeof path, "%s/.netrc", home != nullptr ? home : ".") >= static_cast<int>(sizeof path))
        return 0;
    FileCloser fc{fopen(path, "r")};
    if (fc.f == nullptr) {
        if (errno != ENOENT)
            quorex_Print("%s: error opening '%s'\n", "quorex_ReadNetrc", path);
        return 0;
    }
    struct stat st;
    Parser ps;
    ps.f = fc.f;
    ps.othersMayRead = fstat(fileno(fc.f), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    MatchContext m{host, label, labelType, localHost};

    while (ps.next() == TOK_WORD) {
        bool matches = false;
        if (ps.is("default")) {
            matches = true;
        } else if (ps.is("machine")) {
            if (ps.next() == TOK_EOF)
                break;
            matches = machineMatches(ps.tok, m);
        } else if (ps.is("macdef")) {
            if (ps.macdef() != 0)
                return -EPERM;
            continue;
        } else {
            continue; // stray words before the first entry
        }
        if (!matches) {
            if (ps.skipEntry() != 0)
                return -EPERM;
            continue;
        }
        bool abandoned = false;
        rc = readEntry(ps, user, password, &abandoned);
        if (rc != 0 || !abandoned)
            return rc;
    }
    return 0;
}

int quorex_NetrcValueOn(const char *value)
{
    if (value == nullptr)
        return 0;
    return strcmp(value, "1") == 0 || strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0 ? 1 : 0;
}

int quorex_NetrcWanted()
{
    return quorex_NetrcValueOn(getenv("QUOR_USE_NETRC_FILE"));
}
