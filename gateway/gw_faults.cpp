// The fault script (see gw_faults.h).  Called on a session thread when the
// session starts; reads the file with a size cap and keeps nothing global.

#include "gw_faults.h"

#include <arpa/inet.h>

#include <kylgw_catalogue.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

bool parseUnsigned(const std::string &text, uint64_t max, uint64_t *out)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// "OFFSET" followed by ",LEN" (gap_at, required there) or by options
// ",times=K" and, for enospc_at, ",moved=0|prefix".
bool parseAtFault(const std::string &key, const std::string &value, gw_at_fault_t *out)
{
    gw_at_fault_t a{true, 0, 0, 1, false};
    size_t pos = 0;
    bool first = true, haveLength = false;
    while (pos <= value.size()) {
        size_t comma = value.find(',', pos);
        if (comma == std::string::npos)
            comma = value.size();
        const std::string part = value.substr(pos, comma - pos);
        uint64_t n = 0;
        if (first) {
            if (!parseUnsigned(part, 1ull << 62, &a.offset))
                return false;
            first = false;
        } else if (key == "gap_at" && !haveLength) {
            if (!parseUnsigned(part, 1ull << 62, &a.length) || a.length == 0)
                return false;
            haveLength = true;
        } else if (part.rfind("times=", 0) == 0 && parseUnsigned(part.substr(6), 1000, &n) && n > 0) {
            a.times = static_cast<uint32_t>(n);
        } else if (key == "enospc_at" && (part == "moved=0" || part == "moved=prefix")) {
            a.movedZero = part == "moved=0";
        } else {
            return false;
        }
        pos = comma + 1;
    }
    if (key == "gap_at" && !haveLength)
        return false;
    *out = a;
    return true;
}

bool parseNegative(const std::string &text, int32_t *out)
{
    uint64_t mag = 0;
    if (text.size() < 2 || text[0] != '-' || !parseUnsigned(text.substr(1), 0x80000000u, &mag) || mag == 0)
        return false;
    *out = static_cast<int32_t>(-static_cast<int64_t>(mag));
    return true;
}

// Finds a catalogue row by its name.
struct NameSearch {
    const char *name;
    const kylgw_msgtype_t *found;
};

void matchName(const kylgw_msgtype_t *row, void *arg)
{
    auto *s = static_cast<NameSearch *>(arg);
    if (s->found == nullptr && row->name != nullptr && strcmp(row->name, s->name) == 0)
        s->found = row;
}

bool parseOp(const std::string &text, gw_faultop_t *op)
{
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        uint64_t cat = 0, fn = 0;
        if (!parseUnsigned(text.substr(0, slash), 0xffff, &cat) || !parseUnsigned(text.substr(slash + 1), 0xffff, &fn))
            return false;
        *op = {true, static_cast<uint16_t>(cat), static_cast<uint16_t>(fn)};
        return true;
    }
    NameSearch s{text.c_str(), nullptr};
    kylgw_ForEachMsgType(matchName, &s);
    if (s.found == nullptr)
        return false;
    *op = {true, s.found->category, s.found->function};
    return true;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// One line of the script, split at its first '='.
struct Line {
    const std::string &key;
    const std::string &value;
    bool hasValue; // the line holds an '=' (an empty value is still a value)
};

// Sets a fault from one line; false when the value is bad.
using KeyParser = bool (*)(const Line &l, gw_faults_t *f);

struct KeyRow {
    const char *key;
    KeyParser parse;
};

// "deny" and "notdir": an absolute path of at most 1024 bytes.
bool parsePathPrefix(const Line &l, std::string *out)
{
    if (!l.hasValue || l.value.empty() || l.value[0] != '/' || l.value.size() > 1024)
        return false;
    *out = l.value;
    return true;
}

// "OP, MILLISECONDS" or "OP, PATH": the operation before the first comma and
// the trimmed rest, or false when there is no comma or no such operation.
bool parseOpAndRest(const std::string &value, gw_faultop_t *op, std::string *rest)
{
    size_t comma = value.find(',');
    if (comma == std::string::npos || !parseOp(trim(value.substr(0, comma)), op))
        return false;
    *rest = trim(value.substr(comma + 1));
    return true;
}

// Keys whose value is a count up to 1000, a flag with no value or an
// offset fault, each setting one member.
const std::pair<const char *, uint32_t gw_faults_t::*> countKeys[] = {
    {"busy_open", &gw_faults_t::busyOpen},       {"enospc_seek", &gw_faults_t::enospcSeek},
    {"mkdir_eagain", &gw_faults_t::mkdirEagain}, {"eio_read", &gw_faults_t::eioRead},
    {"fail_rename", &gw_faults_t::failRename},   {"mover_die", &gw_faults_t::moverDie},
    {"enospc_write", &gw_faults_t::enospcWrite}, {"seq_eio", &gw_faults_t::seqEio},
    {"combo_wrong", &gw_faults_t::comboWrong},
};
const std::pair<const char *, bool gw_faults_t::*> flagKeys[] = {
    {"garbage_header", &gw_faults_t::garbageHeader},
    {"unsolicited", &gw_faults_t::unsolicited},
    {"bad_init_checksum", &gw_faults_t::badInitChecksum},
    {"wrong_xferid", &gw_faults_t::wrongXferid},
    {"pdata_offset_outside", &gw_faults_t::pdataOffsetOutside},
    {"mover_close_midblock", &gw_faults_t::moverCloseMidblock},
    {"compl_overclaim", &gw_faults_t::complOverclaim},
    {"duplicate_address", &gw_faults_t::duplicateAddress},
    {"bytes_overclaim", &gw_faults_t::bytesOverclaim},
    {"short_read", &gw_faults_t::shortRead},
    {"request_earlier_data", &gw_faults_t::requestEarlierData},
    {"reverse_order", &gw_faults_t::reverseOrder},
    {"success_zero", &gw_faults_t::successZero},
    {"openx_no_ctlbyte", &gw_faults_t::openxNoCtlbyte},
    {"readx_short_no_halfclose", &gw_faults_t::readxShortNoHalfclose},
    {"lfx_noconnect", &gw_faults_t::lfxNoconnect},
    {"lfx_close_early", &gw_faults_t::lfxCloseEarly},
    {"lfx_pool_unknown", &gw_faults_t::lfxPoolUnknown},
    {"token_next", &gw_faults_t::tokenNext},
    {"cleartext_pw", &gw_faults_t::cleartextPw},
};
const std::pair<const char *, gw_at_fault_t gw_faults_t::*> atKeys[] = {
    {"write_eio_at", &gw_faults_t::writeEioAt},
    {"read_eio_at", &gw_faults_t::readEioAt},
    {"eom_at", &gw_faults_t::eomAt},
    {"enospc_at", &gw_faults_t::enospcAt},
    {"gap_at", &gw_faults_t::gapAt},
};
const std::pair<const char *, gw_faultop_t gw_faults_t::*> opKeys[] = {
    {"reply_nobody", &gw_faults_t::replyNobody},
    {"truncate_body", &gw_faults_t::truncateBody},
};

// The keys with a value form of their own.
const KeyRow keyRows[] = {
    {"down", [](const Line &l, gw_faults_t *f) { return l.hasValue && parseUnsigned(l.value, UINT64_MAX, &f->down); }},
    {"proto",
     [](const Line &l, gw_faults_t *f) {
         size_t dot = l.value.find('.');
         uint64_t major = 0, minor = 0;
         if (dot == std::string::npos || !parseUnsigned(l.value.substr(0, dot), UINT32_MAX, &major) ||
             !parseUnsigned(l.value.substr(dot + 1), UINT32_MAX, &minor))
             return false;
         f->protoSet = true;
         f->protoMajor = static_cast<uint32_t>(major);
         f->protoMinor = static_cast<uint32_t>(minor);
         return true;
     }},
    {"siteinfo_err",
     [](const Line &l, gw_faults_t *f) { return (f->siteinfoErrSet = parseNegative(l.value, &f->siteinfoErr)); }},
    {"runmode",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         if (!parseUnsigned(l.value, UINT32_MAX, &n))
             return false;
         f->runmodeSet = true;
         f->runmode = static_cast<uint32_t>(n);
         return true;
     }},
    {"delay_reply",
     [](const Line &l, gw_faults_t *f) {
         gw_faultop_t op{};
         std::string ms;
         uint64_t n = 0;
         if (!parseOpAndRest(l.value, &op, &ms) || !parseUnsigned(ms, GW_FAULTS_MAX_DELAY_MS, &n))
             return false;
         f->delayReply = op;
         f->delayMs = static_cast<uint32_t>(n);
         return true;
     }},
    {"drop_conn",
     [](const Line &l, gw_faults_t *f) {
         // "OP" drops every reply to OP; "OP,N" only the daemon's Nth.
         std::string nth;
         uint64_t n = 0;
         if (l.value.find(',') == std::string::npos)
             return parseOp(l.value, &f->dropConn);
         if (!parseOpAndRest(l.value, &f->dropConn, &nth) || !parseUnsigned(nth, UINT32_MAX, &n) || n == 0)
             return false;
         f->dropConnNth = static_cast<uint32_t>(n);
         return true;
     }},
    {"pause_until",
     [](const Line &l, gw_faults_t *f) {
         gw_faultop_t op{};
         std::string path;
         if (!parseOpAndRest(l.value, &op, &path))
             return false;
         f->pauseOp = op;
         f->pausePath = path;
         return !f->pausePath.empty();
     }},
    {"refuse", [](const Line &l, gw_faults_t *f) { return gw_ParseRefusal(l.value, &f->refuse) == 0; }},
    {"retry_later", [](const Line &l, gw_faults_t *f) { return gw_ParseRetryLater(l.value, &f->retryLater) == 0; }},
    {"reconnect",
     [](const Line &l, gw_faults_t *f) {
         int32_t code = 0;
         if (l.value != "ok" && !parseNegative(l.value, &code))
             return false;
         f->reconnectSet = true;
         f->reconnectResult = code;
         return true;
     }},
    {"readattrs_count",
     [](const Line &l, gw_faults_t *f) { return l.hasValue && l.value == "+1" && (f->readattrsCountPlusOne = true); }},
    {"names_count",
     [](const Line &l, gw_faults_t *f) { return l.hasValue && l.value == "-1" && (f->namesCountMinusOne = true); }},
    {"delay_mover",
     [](const Line &l, gw_faults_t *f) {
         const size_t comma = l.value.find(',');
         uint64_t k = 0, ms = 0;
         if (comma == std::string::npos || !parseUnsigned(l.value.substr(0, comma), 1023, &k) ||
             !parseUnsigned(l.value.substr(comma + 1), GW_FAULTS_MAX_DELAY_MS, &ms))
             return false;
         f->delayMoverSet = true;
         f->delayMover = static_cast<uint32_t>(k);
         f->delayMoverMs = static_cast<uint32_t>(ms);
         return true;
     }},
    {"mover_stall",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         return parseUnsigned(l.value, GW_FAULTS_MAX_STALL, &n) && n > 0 && (f->moverStall = static_cast<uint32_t>(n));
     }},
    {"openx_hold",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         return parseUnsigned(l.value, GW_FAULTS_MAX_DELAY_MS, &n) && n > 0 &&
                (f->openxHoldMs = static_cast<uint32_t>(n));
     }},
    {"lfx_status",
     [](const Line &l, gw_faults_t *f) {
         int32_t code = 0;
         if (!l.hasValue || !parseNegative(l.value, &code))
             return false;
         f->lfxStatusSet = true;
         f->lfxStatus = code;
         return true;
     }},
    {"lfx_bytes",
     [](const Line &l, gw_faults_t *f) {
         f->lfxBytesSet = true;
         return l.hasValue && parseUnsigned(l.value, UINT64_MAX, &f->lfxBytes);
     }},
    {"mover_src",
     [](const Line &l, gw_faults_t *f) {
         in_addr a{};
         if (!l.hasValue || inet_pton(AF_INET, l.value.c_str(), &a) != 1)
             return false;
         f->moverSrc = l.value;
         return true;
     }},
    {"deny", [](const Line &l, gw_faults_t *f) { return parsePathPrefix(l, &f->denyPrefix); }},
    {"notdir", [](const Line &l, gw_faults_t *f) { return parsePathPrefix(l, &f->notdirPath); }},
    {"retry_count",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         if (!parseUnsigned(l.value, 1000, &n))
             return false;
         f->retryCountSet = true;
         f->retryCount = static_cast<uint32_t>(n);
         return true;
     }},
    {"cipher", [](const Line &l, gw_faults_t *f) { return l.value == "GARBLE" && (f->cipherGarble = true); }},
    {"dh",
     [](const Line &l, gw_faults_t *f) {
         f->dh = l.value == "weak"      ? gw_dh_fault_t::weak
                 : l.value == "g1"      ? gw_dh_fault_t::g1
                 : l.value == "pubkey1" ? gw_dh_fault_t::pubkey1
                                        : gw_dh_fault_t::none;
         return f->dh != gw_dh_fault_t::none;
     }},
    {"pam_count",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         if (!parseUnsigned(l.value, GW_FAULTS_MAX_PAM_COUNT, &n) || n == 0)
             return false;
         f->pamCount = static_cast<uint32_t>(n);
         return true;
     }},
    {"pam_style",
     [](const Line &l, gw_faults_t *f) {
         uint64_t n = 0;
         if (!parseUnsigned(l.value, 255, &n))
             return false;
         f->pamStyleSet = true;
         f->pamStyle = static_cast<uint32_t>(n);
         return true;
     }},
};

// Applies one "key=value" line.  Returns false when the key is unknown or
// its value is bad.
bool applyLine(const std::string &key, const std::string &value, bool hasValue, gw_faults_t *f)
{
    for (const auto &[name, member] : countKeys) {
        if (key != name)
            continue;
        uint64_t n = 0;
        if (!parseUnsigned(value, 1000, &n))
            return false;
        f->*member = static_cast<uint32_t>(n);
        return true;
    }
    for (const auto &[name, member] : flagKeys)
        if (key == name)
            return !hasValue && (f->*member = true);
    for (const auto &[name, member] : atKeys)
        if (key == name)
            return hasValue && parseAtFault(key, value, &(f->*member));
    for (const auto &[name, member] : opKeys)
        if (key == name)
            return parseOp(value, &(f->*member));
    const Line line{key, value, hasValue};
    for (const KeyRow &row : keyRows)
        if (key == row.key)
            return row.parse(line, f);
    return false;
}

} // namespace

bool gw_FaultOpIs(const gw_faultop_t &op, uint16_t category, uint16_t function)
{
    return op.set && op.category == category && op.function == function;
}

void gw_FaultsParse(const std::string &text, gw_faults_t *out, std::vector<std::string> *problems)
{
    *out = gw_faults_t{};
    size_t pos = 0;
    unsigned lineNo = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        lineNo++;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string key = trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
        if (!applyLine(key, value, eq != std::string::npos, out))
            problems->push_back("line " + std::to_string(lineNo) + ": refusing '" + line + "'" +
                                " (unknown key or bad value)");
    }
}

int gw_FaultsLoad(const char *path, gw_faults_t *out, std::vector<std::string> *problems)
{
    *out = gw_faults_t{};
    if (path == nullptr || *path == '\0')
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? 0 : -errno;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int e = errno;
            close(fd);
            return -e;
        }
        if (got == 0)
            break;
        size_t room = GW_FAULTS_MAX_BYTES - text.size();
        if (static_cast<size_t>(got) > room) {
            text.append(buf, room);
            problems->push_back("the script is longer than " + std::to_string(GW_FAULTS_MAX_BYTES) +
                                " bytes; the rest is ignored");
            break;
        }
        text.append(buf, static_cast<size_t>(got));
    }
    close(fd);
    gw_FaultsParse(text, out, problems);
    return 0;
}
