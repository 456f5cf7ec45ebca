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
//   drop_conn=OP[,N]          OP closes the connection instead of replying
//                             (the operation itself is done); with N only
//                             the Nth OP counted over the sessions since
//                             the last one whose script had no such N, so
//                             that the session the client opens next gets
//                             its replies
//   reply_nobody=OP           OP's reply carries no body
//   truncate_body=OP          OP's reply is cut after half its body, then the
//                             connection is closed
//   pause_until=OP,PATH       replies to OP are held back until the file PATH
//                             exists (at most GW_FAULTS_MAX_STALL seconds, or
//                             until the connection closes)
// Authentication (every login of the session):
//   refuse=CODE[,stop][,TEXT] logins are refused with CODE (negative), the
//                             stop flag and TEXT for the user
//   retry_later=SECS,TEXT     logins ask the client to come back in SECS
//   reconnect=ok|CODE         a reconnect login succeeds, or fails with CODE
//                             (-51030, -51035, -51040), whatever it carries
//   combo_wrong=N             the first N combo password checks fail (-10003)
//   token_next                after the first right combo password, demand
//                             the next token code once (-42009)
//   retry_count=N             combo login replies offer N attempts
//   cleartext_pw              combo login replies ask for the password in
//                             clear (flag 0x2)
//   cipher=GARBLE             security parameters name cipher 1
//   dh=weak|g1|pubkey1        a tiny prime, generator 1, or the server's
//                             public key 1
//   pam_count=N               every PAM round carries N messages (filled up
//                             with information texts)
//   pam_style=N               the first PAM message of a round has style N
// File operations (counts are per session):
//   busy_open=N               the first N opens are refused as busy (-11)
//   enospc_seek=N             the first N SetFileOffset calls fail with -28
//   mkdir_eagain=N            the first N Mkdir calls fail with -11
//   fail_rename=N             the session's Nth Rename fails with -5
// Sequential reads and writes (descriptor flag 0x20 without movers):
//   eio_read=N                the first N sequential reads fail with -5
//   enospc_write=N            the first N sequential writes fail with -28
//   seq_eio=N                 the first N sequential transfers of either
//                             kind fail with -5
//   short_read                sequential reads take the file as one byte
//                             shorter than it is
// A failed transfer moves nothing and leaves the file position alone.
//   deny=PREFIX               every path at or below PREFIX is refused (-13)
//   notdir=PATH               PATH is reported as not a directory (-20)
//   readattrs_count=+1        ReadAttrs replies carry one entry more than
//                             asked for
//   names_count=-1            ConvertNamesToIds replies carry one
//                             name entry fewer than the request
// List transfers with movers (each acts on mover 0's first piece of every
// list request):
//   bad_init_checksum         the initiator message's checksum is off by one
//   wrong_xferid              the data block header names another transfer
//   pdata_offset_outside      the data block header's offset lies past the
//                             request
//   mover_close_midblock      the mover closes its connections halfway
//                             through a block
//   mover_die=N               the same, in the session's first N list
//                             requests only (a mover that dies once)
//   mover_stall=SECS          the mover stops for SECS seconds (or until the
//                             client closes) before its first block
//   compl_overclaim           the completion claims one byte more than moved
//   duplicate_address         after its first piece the mover asks for the
//                             same bytes again
//   bytes_overclaim           a list request that succeeded reports one byte
//                             more than it was asked to move
//   request_earlier_data      after its second piece the mover asks for its
//                             first piece's bytes again
//   reverse_order             mover k waits (W - 1 - k) x 100 ms before its
//                             first piece, so later blocks come first
//   delay_mover=K,MS          mover K waits MS milliseconds before its first
//                             piece
//   mover_src=ADDR            movers bind their connections to the IPv4
//                             address ADDR (a loopback alias such as
//                             127.0.0.2), so the client sees another peer
// List transfers at a file offset (OFFSET is a byte of the file; the piece
// that holds it is cut there, and the bytes before it are moved first).
// Each fires once per session unless times=K says how often:
//   write_eio_at=OFFSET[,times=K]   a write fails there with -5
//   read_eio_at=OFFSET[,times=K]    a read fails there with -5
//   eom_at=OFFSET[,times=K]         a write meets end of media there (-9000)
//   enospc_at=OFFSET[,moved=0|prefix][,times=K]
//                             a write runs out of space there (-28); with
//                             moved=0 the reply claims no bytes moved
//   gap_at=OFFSET,LEN         a read stops at a hole of LEN bytes there: it
//                             succeeds with the bytes before it and reports
//                             the gap (reply flag 0x20)
//   success_zero              the session's first list request that moved
//                             bytes replies success with 0 bytes moved
//   openx_no_ctlbyte          OpenX's data connection is closed without its
//                             control byte
//   openx_hold=MS             OpenX holds its reply back MS milliseconds
//                             once its data listener is open, so that
//                             another process can connect there first
//   readx_short_no_halfclose  a ReadX that reaches end of file keeps the data
//                             socket open (the client waits for bytes that
//                             never come)
// Local-file transfers (every transfer of the session):
//   lfx_noconnect             a transfer over a data connection never
//                             connects: it fails after GW_LFX_CONNECT_TIMEOUT
//                             (or when the session closes) with -110
//   lfx_close_early           the data connection is closed after half the
//                             bytes, and the completion reports success
//                             with the bytes that moved
//   lfx_status=CODE           the result (completion, or inline reply) is
//                             CODE (negative) though the bytes moved
//   lfx_bytes=N               the result claims N bytes moved (an inline
//                             receive carries at most N bytes)
//   lfx_pool_unknown          a kept data connection named by a request is
//                             taken as unknown: it is closed and the
//                             transfer fails (-107)
//   (mover_src also binds the data connections a transfer opens)
// OP is "CATEGORY/FUNCTION" in decimal or the catalogue name of a message
// (e.g. quor_Logmsg).  Unknown keys and bad values are reported; a session
// whose script has any is refused, so that no test runs without its fault.  Parsing takes no locks; the result belongs to one session.

#include "gw_users.h"

#include <cstdint>
#include <string>
#include <vector>

// Longest fault script read; the rest is ignored (and reported).
constexpr size_t GW_FAULTS_MAX_BYTES = 64 * 1024;
// Longest delay a script may ask for.
constexpr uint32_t GW_FAULTS_MAX_DELAY_MS = 600000;

// The largest PAM message count a script may force (the record allows no
// more in one enciphered conversation request).
constexpr uint32_t GW_FAULTS_MAX_PAM_COUNT = 64;

// Diffie-Hellman faults.
enum class gw_dh_fault_t { none, weak, g1, pubkey1 };

// A message named by a fault.
struct gw_faultop_t {
    bool set;
    uint16_t category;
    uint16_t function;
};

// A list-transfer fault at a file offset.
struct gw_at_fault_t {
    bool set;
    uint64_t offset;
    uint64_t length; // gap_at: the hole's length
    uint32_t times;  // firings allowed in a session
    bool movedZero;  // enospc_at moved=0
};

struct gw_faults_t {
    uint64_t down; // connections (counted from 1) greeted as down
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
    uint32_t dropConnNth; // 0: every OP
    gw_faultop_t replyNobody;
    gw_faultop_t truncateBody;
    gw_faultop_t pauseOp;
    std::string pausePath; // "" = none

    gw_refusal_t refuse;
    gw_retry_later_t retryLater;
    bool reconnectSet;
    int32_t reconnectResult; // 0: succeed
    uint32_t comboWrong;
    bool tokenNext;
    bool retryCountSet;
    uint32_t retryCount;
    bool cleartextPw;
    bool cipherGarble;
    gw_dh_fault_t dh;
    uint32_t pamCount; // 0: as the script says
    bool pamStyleSet;
    uint32_t pamStyle;

    uint32_t busyOpen;
    uint32_t enospcSeek;
    uint32_t mkdirEagain;
    uint32_t failRename;
    uint32_t eioRead;
    uint32_t enospcWrite;
    uint32_t seqEio;
    bool shortRead;
    std::string denyPrefix; // "" = none
    std::string notdirPath; // "" = none
    bool readattrsCountPlusOne;
    bool namesCountMinusOne;
    bool badInitChecksum;
    bool wrongXferid;
    bool pdataOffsetOutside;
    bool moverCloseMidblock;
    uint32_t moverDie;
    uint32_t moverStall; // seconds; 0: none
    bool complOverclaim;
    bool duplicateAddress;
    bool bytesOverclaim;
    bool requestEarlierData;
    bool reverseOrder;
    bool delayMoverSet;
    uint32_t delayMover, delayMoverMs;
    gw_at_fault_t writeEioAt, readEioAt, eomAt, enospcAt, gapAt;
    bool successZero;
    bool openxNoCtlbyte, readxShortNoHalfclose;
    uint32_t openxHoldMs; // 0: none
    std::string moverSrc; // "" = the system's choice
    bool lfxNoconnect;
    bool lfxCloseEarly;
    bool lfxStatusSet;
    int32_t lfxStatus;
    bool lfxBytesSet;
    uint64_t lfxBytes;
    bool lfxPoolUnknown;
};
// Longest mover stall a script may ask for, in seconds.
constexpr uint32_t GW_FAULTS_MAX_STALL = 600;

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
