#ifndef GW_FAULTS_H
#define GW_FAULTS_H

// The fault script (--faults): one "key=value" (or bare "key") per line,
// "#" comments, read afresh when each session starts so a test can change
// it between connections.  Keys this build knows:
//   down=N                    greeting reports the storage system down for
//                             the daemon's first N connections
//   proto=MAJOR.MINOR         site information reports that protocol level
//   siteinfo_err=CODE         site information reply: header errorcode CODE
//                             (negative), no body
//   runmode=N                 site information reports run mode N
//   garbage_header            the reply to the session's next request has a
//                             bad sanity field
//   unsolicited               the session's next reply carries flag 0x4
//   delay_reply=OP,MS         replies to OP are held back MS milliseconds
//   drop_conn=OP              OP closes the connection instead of replying
//   reply_nobody=OP           OP's reply carries no body
//   truncate_body=OP          OP's reply is cut after half its body, then the
//                             connection is closed
// OP is "CATEGORY/FUNCTION" in decimal or the catalogue name of a message
// (e.g. quor_Logmsg).  Unknown keys and bad values are reported and
// ignored.  Parsing takes no locks; the result belongs to one session.

#include <cstdint>
#include <string>
#include <vector>

// Longest fault script read; the rest is ignored (and reported).
constexpr size_t GW_FAULTS_MAX_BYTES = 64 * 1024;
// Longest delay a script may ask for.
constexpr uint32_t GW_FAULTS_MAX_DELAY_MS = 600000;

// A message named by a fault.
struct gw_faultop_t {
    bool set;
    uint16_t category;
    uint16_t function;
};

struct gw_faults_t {
    uint64_t down;            // connections (counted from 1) greeted as down
    bool protoSet;
    uint32_t protoMajor, protoMinor;
    bool siteinfoErrSet;
    int32_t siteinfoErr;
    bool runmodeSet;
    uint32_t runmode;
    bool garbageHeader;
    bool unsolicited;
    gw_faultop_t delayReply;
    uint32_t delayMs;
    gw_faultop_t dropConn;
    gw_faultop_t replyNobody;
    gw_faultop_t truncateBody;
};

// True when op names (category, function).
bool gw_FaultOpIs(const gw_faultop_t &op, uint16_t category, uint16_t function);

// Parses a script.  *out is reset first; every problem found (unknown key,
// bad value) adds one line to *problems.
void gw_FaultsParse(const std::string &text, gw_faults_t *out, std::vector<std::string> *problems);

// Reads and parses the script at path.  A missing file means no faults.
// Returns 0, or -errno when the file exists but cannot be read (*out is then
// empty of faults).
int gw_FaultsLoad(const char *path, gw_faults_t *out, std::vector<std::string> *problems);

#endif
