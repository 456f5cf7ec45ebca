// The users section of kylgwd's configuration, PAM scripts and password
// hashes (see gw_users.h).  Loading runs on the main thread at start-up;
// gw_PasswordMatches runs on session threads and keeps its crypt(3) state
// on the heap of the calling thread.  No locks, no globals.

#include "gw_users.h"

#include <quorcfgx_stanza.h>
#include <quorex_crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <crypt.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string where(const char *fileName, const quor_cfg_stanza_t *s)
{
    return std::string(fileName) + ":" + std::to_string(s->LineNum) + ": ";
}

bool parseU32(const std::string &text, uint32_t *out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Splits at blanks and commas, dropping empty words.
std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// A crypt(3) hash as the configuration may hold it: "$id$...", printable.
bool plausibleHash(const std::string &h)
{
    if (h.size() < 4 || h[0] != '$')
        return false;
    for (char c : h)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

int checkReadableFile(const std::string &path, std::string *why)
{
    if (path.empty() || path[0] != '/') {
        *why = "must be an absolute path";
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *why = std::string("cannot be opened: ") + strerror(errno);
        return -1;
    }
    struct stat st;
    int rc = fstat(fd, &st);
    close(fd);
    if (rc != 0 || !S_ISREG(st.st_mode)) {
        *why = "is not a regular file";
        return -1;
    }
    return 0;
}

// Applies one key of a user's section.  Returns 0, or -1 with *err set.
int applyUserKey(const char *fileName, const quor_cfg_stanza_t *s, gw_user_t *u, std::string *err)
{
    const std::string key = s->KeyString;
    if (s->type != CFG_SIMPLE_TYPE || s->KeyValue == nullptr) {
        *err = where(fileName, s) + "'" + key + "' needs a value (" + key + " = ...)";
        return -1;
    }
    const std::string value = s->KeyValue;
    auto bad = [&](const std::string &what) {
        *err = where(fileName, s) + "user " + u->name + ": '" + key + "' " + what;
        return -1;
    };

    if (key == "password" || key == "token_code") {
        if (!plausibleHash(value))
            return bad("needs a crypt(3) hash ($id$...; kylgwd --hash-password prints one)");
        (key == "password" ? u->passwordHash : u->tokenCodeHash) = value;
        return 0;
    }
    if (key == "uid" || key == "gid" || key == "default_account") {
        uint32_t v = 0;
        if (!parseU32(value, &v))
            return bad("needs a decimal number");
        (key == "uid" ? u->uid : key == "gid" ? u->gid : u->defaultAccount) = v;
        return 0;
    }
    if (key == "groups") {
        u->groups.clear();
        for (const std::string &w : words(value)) {
            uint32_t g = 0;
            if (!parseU32(w, &g))
                return bad("needs decimal group numbers");
            if (u->groups.size() >= GW_USER_GROUPS_MAX)
                return bad("lists more than " + std::to_string(GW_USER_GROUPS_MAX) + " groups");
            u->groups.push_back(g);
        }
        return 0;
    }
    if (key == "home") {
        if (value[0] != '/' || value.size() > 1024)
            return bad("needs an absolute path of at most 1024 characters");
        u->home = value;
        return 0;
    }
    if (key == "accounts") {
        u->accounts.clear();
        for (const std::string &w : words(value)) {
            size_t colon = w.find(':');
            gw_account_t a{};
            if (colon == std::string::npos || colon + 1 == w.size() || !parseU32(w.substr(0, colon), &a.code))
                return bad("needs code:name pairs");
            if (u->accounts.size() >= GW_USER_ACCOUNTS_MAX)
                return bad("lists more than " + std::to_string(GW_USER_ACCOUNTS_MAX) + " accounts");
            a.name = w.substr(colon + 1);
            u->accounts.push_back(a);
        }
        return 0;
    }
    if (key == "keytab") {
        std::string why;
        if (checkReadableFile(value, &why) != 0)
            return bad(value + " " + why);
        u->keytabPath = value;
        return 0;
    }
    if (key == "pam_script") {
        std::string why;
        if (checkReadableFile(value, &why) != 0)
            return bad(value + " " + why);
        if (gw_PamScriptLoad(value.c_str(), &u->pam, &why) != 0)
            return bad(why);
        return 0;
    }
    if (key == "refuse") {
        if (gw_ParseRefusal(value, &u->refuse) != 0)
            return bad("needs CODE[,stop][,TEXT] with a negative CODE");
        return 0;
    }
    if (key == "retry_later") {
        if (gw_ParseRetryLater(value, &u->retryLater) != 0)
            return bad("needs SECONDS,TEXT");
        return 0;
    }
    *err = where(fileName, s) + "unknown key '" + key + "' for user " + u->name;
    return -1;
}

// Reads a whole small file.  Returns 0, or -1 with *err set.
int readSmallFile(const char *path, size_t cap, std::string *out, std::string *err)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *err = std::string(path) + ": " + strerror(errno);
        return -1;
    }
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *err = std::string(path) + ": " + strerror(errno);
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        if (out->size() + static_cast<size_t>(got) > cap) {
            *err = std::string(path) + ": longer than " + std::to_string(cap) + " bytes";
            close(fd);
            return -1;
        }
        out->append(buf, static_cast<size_t>(got));
    }
    close(fd);
    return 0;
}

} // namespace

int gw_UsersLoad(const char *fileName, const quor_cfg_stanza_t *section, gw_userlist_t **out, std::string *err)
{
    std::unique_ptr<gw_userlist_t> list(new (std::nothrow) gw_userlist_t);
    if (!list) {
        *err = std::string(fileName) + ": out of memory";
        return -1;
    }
    for (const quor_cfg_stanza_t *s = section->substanzaList; s != nullptr; s = s->next) {
        if (s->type != CFG_COMPOUND_TYPE) {
            *err = where(fileName, s) + "'" + s->KeyString + "' in Users must be a section: " + s->KeyString +
                   " = { ... }";
            return -1;
        }
        const size_t nameLen = strlen(s->KeyString);
        if (nameLen == 0 || nameLen > GW_USER_NAME_MAX) {
            *err = where(fileName, s) + "a user name has 1 to " + std::to_string(GW_USER_NAME_MAX) + " characters";
            return -1;
        }
        if (gw_UserFind(list.get(), s->KeyString) != nullptr) {
            *err = where(fileName, s) + "user " + s->KeyString + " is defined twice";
            return -1;
        }
        if (list->users.size() >= GW_USERS_MAX) {
            *err = where(fileName, s) + "more than " + std::to_string(GW_USERS_MAX) + " users";
            return -1;
        }
        gw_user_t u;
        u.name = s->KeyString;
        bool haveUid = false, haveGid = false, haveHome = false, haveGroups = false;
        for (const quor_cfg_stanza_t *k = s->substanzaList; k != nullptr; k = k->next) {
            if (applyUserKey(fileName, k, &u, err) != 0)
                return -1;
            haveUid |= strcmp(k->KeyString, "uid") == 0;
            haveGid |= strcmp(k->KeyString, "gid") == 0;
            haveHome |= strcmp(k->KeyString, "home") == 0;
            haveGroups |= strcmp(k->KeyString, "groups") == 0;
        }
        if (!haveUid || !haveGid || !haveHome) {
            *err = where(fileName, s) + "user " + u.name + " needs uid, gid and home";
            return -1;
        }
        if (!haveGroups)
            u.groups.push_back(u.gid);
        list->users.push_back(std::move(u));
    }
    *out = list.release();
    return 0;
}

void gw_UsersFree(gw_userlist_t *list)
{
    delete list;
}

const gw_user_t *gw_UserFind(const gw_userlist_t *list, const char *name)
{
    if (list == nullptr || name == nullptr)
        return nullptr;
    for (const gw_user_t &u : list->users)
        if (u.name == name)
            return &u;
    return nullptr;
}

int gw_PamScriptParse(const std::string &text, std::vector<gw_pam_round_t> *out, std::string *err)
{
    std::vector<gw_pam_round_t> rounds;
    gw_pam_round_t cur;
    size_t pos = 0;
    unsigned lineNo = 0;
    bool wantAnswer = false;
    auto fail = [&](const std::string &what) {
        *err = "line " + std::to_string(lineNo) + ": " + what;
        return -1;
    };
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find('\0') != std::string::npos)
            return fail("holds a NUL byte");
        if (wantAnswer) {
            // The expected answer of the prompt above, taken as it stands.
            if (line.size() > GW_PAM_TEXT_MAX)
                return fail("answer longer than " + std::to_string(GW_PAM_TEXT_MAX) + " characters");
            cur.back().answer = line;
            wantAnswer = false;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            if (!cur.empty()) {
                if (rounds.size() >= GW_PAM_ROUNDS_MAX)
                    return fail("more than " + std::to_string(GW_PAM_ROUNDS_MAX) + " rounds");
                rounds.push_back(std::move(cur));
                cur.clear();
            }
            continue;
        }
        if (line[0] == '#')
            continue;
        if (line.size() < 2 || line[0] < '1' || line[0] > '4' || line[1] != ' ')
            return fail("a message is \"<style 1-4> <text>\"");
        if (line.size() - 2 > GW_PAM_TEXT_MAX)
            return fail("text longer than " + std::to_string(GW_PAM_TEXT_MAX) + " characters");
        if (cur.size() >= GW_PAM_MSGS_MAX)
            return fail("more than " + std::to_string(GW_PAM_MSGS_MAX) + " messages in one round");
        gw_pam_msg_t m;
        m.style = static_cast<uint32_t>(line[0] - '0');
        m.text = line.substr(2);
        wantAnswer = m.style == GW_PAM_PROMPT_ECHO_OFF || m.style == GW_PAM_PROMPT_ECHO_ON;
        cur.push_back(std::move(m));
    }
    if (wantAnswer)
        return fail("the prompt has no answer line");
    if (!cur.empty()) {
        if (rounds.size() >= GW_PAM_ROUNDS_MAX)
            return fail("more than " + std::to_string(GW_PAM_ROUNDS_MAX) + " rounds");
        rounds.push_back(std::move(cur));
    }
    if (rounds.empty()) {
        *err = "the script holds no message";
        return -1;
    }
    *out = std::move(rounds);
    return 0;
}

int gw_PamScriptLoad(const char *path, std::vector<gw_pam_round_t> *out, std::string *err)
{
    std::string text;
    if (readSmallFile(path, GW_PAM_SCRIPT_MAX_BYTES, &text, err) != 0)
        return -1;
    std::string why;
    int rc = gw_PamScriptParse(text, out, &why);
    // The script holds expected answers.
    quorex_Wipe(text.data(), text.size());
    if (rc != 0) {
        *err = std::string(path) + ": " + why;
        return -1;
    }
    return 0;
}

int gw_ParseRefusal(const std::string &value, gw_refusal_t *out)
{
    gw_refusal_t r;
    size_t comma = value.find(',');
    std::string code = value.substr(0, comma);
    std::string rest = comma == std::string::npos ? "" : value.substr(comma + 1);
    if (code.size() < 2 || code.size() > 11 || code[0] != '-')
        return -1;
    errno = 0;
    char *end = nullptr;
    long v = strtol(code.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v >= 0 || v < INT32_MIN)
        return -1;
    r.code = static_cast<int32_t>(v);
    if (rest == "stop" || rest.rfind("stop,", 0) == 0) {
        r.stop = true;
        rest = rest.size() > 4 ? rest.substr(5) : "";
    }
    if (rest.size() > GW_USER_TEXT_MAX)
        return -1;
    r.text = rest;
    r.set = true;
    *out = r;
    return 0;
}

int gw_ParseRetryLater(const std::string &value, gw_retry_later_t *out)
{
    size_t comma = value.find(',');
    uint32_t secs = 0;
    if (comma == std::string::npos || !parseU32(value.substr(0, comma), &secs) || secs > GW_RETRY_LATER_MAX_SECS ||
        value.size() - comma - 1 > GW_USER_TEXT_MAX)
        return -1;
    out->set = true;
    out->seconds = secs;
    out->text = value.substr(comma + 1);
    return 0;
}

bool gw_PasswordMatches(const std::string &hash, const char *password)
{
    if (hash.empty() || password == nullptr)
        return false;
    std::unique_ptr<crypt_data> cd(new (std::nothrow) crypt_data);
    if (!cd)
        return false;
    memset(cd.get(), 0, sizeof *cd);
    const char *h = crypt_r(password, hash.c_str(), cd.get());
    bool match = false;
    // A failed crypt returns null or a string starting with '*'.
    if (h != nullptr && h[0] != '*') {
        size_t n = strlen(h);
        match = n == hash.size() && quorex_ConstTimeEqual(reinterpret_cast<const unsigned char *>(h),
                                                          reinterpret_cast<const unsigned char *>(hash.data()), n);
    }
    // crypt_data holds the password and intermediate state.
    quorex_Wipe(cd.get(), sizeof *cd);
    return match;
}

int gw_HashPassword(const char *password, std::string *hash)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null random source lets the library draw the salt itself.
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr &&
        crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return -1;
    std::unique_ptr<crypt_data> cd(new (std::nothrow) crypt_data);
    if (!cd)
        return -1;
    memset(cd.get(), 0, sizeof *cd);
    const char *h = crypt_r(password, setting, cd.get());
    int rc = -1;
    if (h != nullptr && h[0] == '$') {
        *hash = h;
        rc = 0;
    }
    quorex_Wipe(cd.get(), sizeof *cd);
    return rc;
}

int gw_HashPasswordCommand(FILE *in, FILE *out)
{
    const int fd = fileno(in);
    const bool tty = fd >= 0 && isatty(fd);
    struct termios saved {};
    bool echoOff = false;
    if (tty && tcgetattr(fd, &saved) == 0) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        echoOff = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
        fputs("Password: ", stderr);
        fflush(stderr);
    }
    char buf[1024];
    const bool got = fgets(buf, sizeof buf, in) != nullptr;
    if (echoOff) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        fputc('\n', stderr);
    }
    if (!got)
        buf[0] = '\0';
    size_t n = strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = '\0';
    int status = 0;
    if (n == 0) {
        fputs("kylgwd: --hash-password: no password on standard input\n", stderr);
        status = 64;
    } else {
        std::string hash;
        if (gw_HashPassword(buf, &hash) != 0) {
            fputs("kylgwd: --hash-password: crypt(3) failed\n", stderr);
            status = 71;
        } else {
            fprintf(out, "%s\n", hash.c_str());
            fflush(out);
        }
    }
    quorex_Wipe(buf, sizeof buf);
    return status;
}
