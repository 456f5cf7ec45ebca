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

// Applies one "key=value" line.  Returns false when the key is unknown or
// its value is bad.
bool applyLine(const std::string &key, const std::string &value, bool hasValue, gw_faults_t *f)
{
    uint64_t n = 0;
    if (key == "down")
        return hasValue && parseUnsigned(value, UINT64_MAX, &f->down);
    if (key == "proto") {
        size_t dot = value.find('.');
        uint64_t major = 0, minor = 0;
        if (dot == std::string::npos || !parseUnsigned(value.substr(0, dot), UINT32_MAX, &major) ||
            !parseUnsigned(value.substr(dot + 1), UINT32_MAX, &minor))
            return false;
        f->protoSet = true;
        f->protoMajor = static_cast<uint32_t>(major);
        f->protoMinor = static_cast<uint32_t>(minor);
        return true;
    }
    if (key == "siteinfo_err")
        return (f->siteinfoErrSet = parseNegative(value, &f->siteinfoErr));
    if (key == "runmode") {
        if (!parseUnsigned(value, UINT32_MAX, &n))
            return false;
        f->runmodeSet = true;
        f->runmode = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "garbage_header")
        return !hasValue && (f->garbageHeader = true);
    if (key == "unsolicited")
        return !hasValue && (f->unsolicited = true);
    if (key == "delay_reply") {
        size_t comma = value.find(',');
        gw_faultop_t op{};
        if (comma == std::string::npos || !parseOp(trim(value.substr(0, comma)), &op) ||
            !parseUnsigned(trim(value.substr(comma + 1)), GW_FAULTS_MAX_DELAY_MS, &n))
            return false;
        f->delayReply = op;
        f->delayMs = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "pause_until") {
        size_t comma = value.find(',');
        gw_faultop_t op{};
        if (comma == std::string::npos || !parseOp(trim(value.substr(0, comma)), &op))
            return false;
        f->pauseOp = op;
        f->pausePath = trim(value.substr(comma + 1));
        return !f->pausePath.empty();
    }
    if (key == "refuse")
        return gw_ParseRefusal(value, &f->refuse) == 0;
    if (key == "retry_later")
        return gw_ParseRetryLater(value, &f->retryLater) == 0;
    if (key == "reconnect") {
        int32_t code = 0;
        if (value == "ok")
            code = 0;
        else if (!parseNegative(value, &code))
            return false;
        f->reconnectSet = true;
        f->reconnectResult = code;
        return true;
    }
    const std::pair<const char *, uint32_t gw_faults_t::*> counts[] = {
        {"busy_open", &gw_faults_t::busyOpen},       {"enospc_seek", &gw_faults_t::enospcSeek},
        {"mkdir_eagain", &gw_faults_t::mkdirEagain}, {"eio_read", &gw_faults_t::eioRead},
        {"fail_rename", &gw_faults_t::failRename},   {"mover_die", &gw_faults_t::moverDie},
        {"enospc_write", &gw_faults_t::enospcWrite}, {"seq_eio", &gw_faults_t::seqEio},
    };
    for (const auto &[name, member] : counts) {
        if (key != name)
            continue;
        if (!parseUnsigned(value, 1000, &n))
            return false;
        f->*member = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "readattrs_count")
        return hasValue && value == "+1" && (f->readattrsCountPlusOne = true);
    if (key == "names_count")
        return hasValue && value == "-1" && (f->namesCountMinusOne = true);
    const std::pair<const char *, gw_at_fault_t gw_faults_t::*> atFaults[] = {
        {"write_eio_at", &gw_faults_t::writeEioAt},
        {"read_eio_at", &gw_faults_t::readEioAt},
        {"eom_at", &gw_faults_t::eomAt},
        {"enospc_at", &gw_faults_t::enospcAt},
        {"gap_at", &gw_faults_t::gapAt},
    };
    for (const auto &[name, member] : atFaults)
        if (key == name)
            return hasValue && parseAtFault(key, value, &(f->*member));
    if (key == "delay_mover") {
        const size_t comma = value.find(',');
        uint64_t k = 0, ms = 0;
        if (comma == std::string::npos || !parseUnsigned(value.substr(0, comma), 1023, &k) ||
            !parseUnsigned(value.substr(comma + 1), GW_FAULTS_MAX_DELAY_MS, &ms))
            return false;
        f->delayMoverSet = true;
        f->delayMover = static_cast<uint32_t>(k);
        f->delayMoverMs = static_cast<uint32_t>(ms);
        return true;
    }
    if (key == "mover_stall")
        return parseUnsigned(value, GW_FAULTS_MAX_STALL, &n) && n > 0 && (f->moverStall = static_cast<uint32_t>(n));
    const std::pair<const char *, bool gw_faults_t::*> moverFlags[] = {
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
    };
    for (const auto &[name, member] : moverFlags)
        if (key == name)
            return !hasValue && (f->*member = true);
    if (key == "lfx_status") {
        int32_t code = 0;
        if (!hasValue || !parseNegative(value, &code))
            return false;
        f->lfxStatusSet = true;
        f->lfxStatus = code;
        return true;
    }
    if (key == "lfx_bytes") {
        f->lfxBytesSet = true;
        return hasValue && parseUnsigned(value, UINT64_MAX, &f->lfxBytes);
    }
    if (key == "mover_src") {
        in_addr a{};
        if (!hasValue || inet_pton(AF_INET, value.c_str(), &a) != 1)
            return false;
        f->moverSrc = value;
        return true;
    }
    if (key == "deny" || key == "notdir") {
        if (!hasValue || value.empty() || value[0] != '/' || value.size() > 1024)
            return false;
        (key == "deny" ? f->denyPrefix : f->notdirPath) = value;
        return true;
    }
    if (key == "combo_wrong") {
        if (!parseUnsigned(value, 1000, &n))
            return false;
        f->comboWrong = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "token_next")
        return !hasValue && (f->tokenNext = true);
    if (key == "retry_count") {
        if (!parseUnsigned(value, 1000, &n))
            return false;
        f->retryCountSet = true;
        f->retryCount = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "cleartext_pw")
        return !hasValue && (f->cleartextPw = true);
    if (key == "cipher")
        return value == "GARBLE" && (f->cipherGarble = true);
    if (key == "dh") {
        f->dh = value == "weak"      ? gw_dh_fault_t::weak
                : value == "g1"      ? gw_dh_fault_t::g1
                : value == "pubkey1" ? gw_dh_fault_t::pubkey1
                                     : gw_dh_fault_t::none;
        return f->dh != gw_dh_fault_t::none;
    }
    if (key == "pam_count") {
        if (!parseUnsigned(value, GW_FAULTS_MAX_PAM_COUNT, &n) || n == 0)
            return false;
        f->pamCount = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "pam_style") {
        if (!parseUnsigned(value, 255, &n))
            return false;
        f->pamStyleSet = true;
        f->pamStyle = static_cast<uint32_t>(n);
        return true;
    }
    gw_faultop_t *target = key == "drop_conn"       ? &f->dropConn
                           : key == "reply_nobody"  ? &f->replyNobody
                           : key == "truncate_body" ? &f->truncateBody
                                                    : nullptr;
    return target != nullptr && parseOp(value, target);
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
