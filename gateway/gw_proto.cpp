// Serving the requests of one connection (see gw_proto.h).  The handlers
// read the configuration (constant after start-up) and the session's fault
// script (constant for the session); texts from the client are logged as
// arguments, never as formats.

#include "gw_proto.h"

#include "gw_auth.h"
#include "gw_config.h"
#include "gw_fileops.h"
#include "gw_lfx.h"
#include "gw_log.h"
#include "gw_movers.h"
#include "gw_options.h"
#include "gw_stream.h"
#include "gw_users.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include <kyl_mutex.h>

#include <kylgw_xdr_lfx.h>
#include <kylgw_xdr_xfer.h>

bool gw_RequestIsSlow(uint16_t category, uint16_t function)
{
    // Transfers, the data-stream open and the local-file transfer start.
    if (category == CAT_FILESYS)
        return function == FN_FS_READX || function == FN_FS_READLIST || function == FN_FS_WRITELIST ||
               function == FN_FS_WRITEX || function == FN_FS_OPENX;
    return category == CAT_LFX && function == FN_LFX_INIT;
}

void gw_BuildGreeting(const gw_conn_t *c, uint64_t connectionNo, api_server_state_rply_t *out)
{
    const gw_site_t &s = gw_ProtoConfig()->site;
    out->sv_prot_major = s.sv_prot_major;
    out->sv_prot_minor = s.sv_prot_minor;
    out->sv_major = s.sv_major;
    out->sv_minor = s.sv_minor;
    out->sv_patch = s.sv_patch;
    out->quorDownFlag = connectionNo <= c->faults.down ? 1 : 0;
}

// 256/1: the site values, as the configuration and the fault script say.
static int gw_ServeSiteInfo(gw_conn_t *c, const gw_request_t *req)
{
    const gw_faults_t &f = c->faults;
    if (f.siteinfoErrSet) {
        gw_FaultFired(c, "siteinfo_err", &req->hdr);
        return gw_SendReply(c, req, f.siteinfoErr, nullptr, nullptr);
    }
    const auto *rq = static_cast<const api_site_info_req_t *>(req->body);
    if (rq != nullptr && (rq->cv_major != KYLGW_PROT_MAJOR || rq->cv_minor != KYLGW_PROT_MINOR))
        gw_Log("session %llu: client speaks protocol %u.%u", static_cast<unsigned long long>(c->id), rq->cv_major,
               rq->cv_minor);

    const gw_site_t &s = gw_ProtoConfig()->site;
    quor_site_info_t si{};
    si.server_runmode = s.server_runmode;
    si.sv_major = s.sv_major;
    si.sv_minor = s.sv_minor;
    si.sv_patch = s.sv_patch;
    si.sv_prot_major = s.sv_prot_major;
    si.sv_prot_minor = s.sv_prot_minor;
    si.auth_flags = 0x250;
    si.auth_crypto_card = s.auth_crypto_card;
    si.encryption_methods = 2;
    si.realm_id = 1;
    si.max_mbytes_per_iod = s.max_mbytes_per_iod;
    si.app_copies = s.app_copies;
    si.umask = s.umask;
    si.startupCOS = s.startupCOS;
    if (f.protoSet) {
        gw_FaultFired(c, "proto", &req->hdr);
        si.sv_prot_major = f.protoMajor;
        si.sv_prot_minor = f.protoMinor;
    }
    if (f.runmodeSet) {
        gw_FaultFired(c, "runmode", &req->hdr);
        si.server_runmode = f.runmode;
    }
    return gw_SendReply(c, req, 0, KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t), &si);
}

// Takes room for len more bytes of c's gateway log under the site's cap.
// False once the cap is reached; the first refusal writes the one line that
// says the rest of the session's messages are dropped.
static bool gw_TakeLogRoom(gw_conn_t *c, size_t len)
{
    const uint64_t cap = gw_ProtoConfig()->site.max_log_bytes_per_session;
    uint64_t used = c->logBytes.load();
    do {
        if (c->logCut.load() || used + len > cap) {
            if (!c->logCut.exchange(true))
                gw_Log("session %llu: log limit of %llu bytes reached, further messages dropped",
                       static_cast<unsigned long long>(c->id), static_cast<unsigned long long>(cap));
            return false;
        }
    } while (!c->logBytes.compare_exchange_weak(used, used + len));
    return true;
}

namespace {

// Gateway log bytes of each user in the current interval of the site's
// log_interval seconds, whatever the number of sessions: a user who opens a
// new session does not get a new allowance.  Bounded by the number of
// configured users (only an authenticated session logs).
struct UserLogBudget {
    int64_t windowStart = 0; // CLOCK_MONOTONIC seconds
    uint64_t used = 0;
    bool cut = false;
};
kyl_mutex_t gw_userLogMutex;
std::map<std::string, UserLogBudget> gw_userLog KYL_GUARDED_BY(gw_userLogMutex);

} // namespace

// Takes room for len more bytes of user's gateway log under the site's
// max_log_bytes_per_user per log_interval (0: no limit).  False once the
// allowance of the interval is used up; the first refusal of an interval
// writes the one line that says so.
static bool gw_TakeUserLogRoom(const std::string &user, size_t len)
{
    const gw_site_t &site = gw_ProtoConfig()->site;
    if (site.max_log_bytes_per_user == 0)
        return true;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    bool first = false;
    {
        kyl_lock_guard g(gw_userLogMutex);
        UserLogBudget &b = gw_userLog[user];
        if (now.tv_sec - b.windowStart >= static_cast<int64_t>(site.log_interval)) {
            b.windowStart = now.tv_sec;
            b.used = 0;
            b.cut = false;
        }
        if (!b.cut && b.used + len <= site.max_log_bytes_per_user) {
            b.used += len;
            return true;
        }
        first = !b.cut;
        b.cut = true;
    }
    if (first)
        gw_Log("user %s: log limit of %llu bytes per %u seconds reached, further messages dropped", user.c_str(),
               static_cast<unsigned long long>(site.max_log_bytes_per_user), site.log_interval);
    return false;
}

// 1792/256-258: one line per message in the daemon log, with the session's
// user, up to the user's allowance of the interval and the session's cap.  Only an authenticated session logs: the
// others are refused without a line, so that nobody fills the log without
// logging in first.
static int gw_ServeGatewayLog(gw_conn_t *c, const gw_request_t *req)
{
    const unsigned long long sid = c->id;
    const gw_user_t *u = c->user.load();
    if (u == nullptr)
        return gw_SendReply(c, req, -EACCES, nullptr, nullptr);
    const char *user = u->name.c_str();
    gw_logline_t line;
    switch (req->hdr.function) {
    case FN_OPENLOG: {
        const auto *m = static_cast<const api_openlog_t *>(req->body);
        gw_LogFormat(&line, "session %llu: openlog user=%s flags=0x%x subsys=%.*s", sid, user, m->flags,
                     static_cast<int>(KYLGW_MAX_SUBSYS), m->subsys);
        break;
    }
    case FN_LOGMSG: {
        const auto *m = static_cast<const api_log_message_t *>(req->body);
        gw_LogFormat(&line, "session %llu: logmsg user=%s flags=0x%x class=0x%x text=%.*s", sid, user, m->flags,
                     m->priority, static_cast<int>(GW_LOGMSG_TEXT_MAX), m->msgtext);
        break;
    }
    case FN_CLOSELOG: {
        const auto *m = static_cast<const api_closelog_t *>(req->body);
        gw_LogFormat(&line, "session %llu: closelog user=%s flags=0x%x", sid, user, m->flags);
        break;
    }
    default: return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    }
    // A dropped message is still answered with success: the client's run
    // must not fail because the server keeps less of its log.
    // A line the user's allowance drops gives its room in the session back.
    if (gw_TakeLogRoom(c, line.len)) {
        if (gw_TakeUserLogRoom(u->name, line.len))
            gw_LogWrite(&line);
        else
            c->logBytes.fetch_sub(line.len);
    }
    return gw_SendReply(c, req, 0, nullptr, nullptr);
}

int gw_ServeRequest(gw_conn_t *c, const gw_request_t *req)
{
    const api_msghdr_t &h = req->hdr;
    if (h.category == CAT_CONNECTION && h.function == FN_SITE_INFO)
        return gw_ServeSiteInfo(c, req);
    if (h.category == CAT_LOG && req->body != nullptr)
        return gw_ServeGatewayLog(c, req);
    if (h.category == CAT_AUTH)
        return gw_AuthServe(c, req);
    if (!gw_AuthCategoryOpen(h.category) && c->user.load() == nullptr) {
        gw_Log("session %llu: %s (%u/%u) id %u before authentication: refused", static_cast<unsigned long long>(c->id),
               req->row != nullptr && req->row->name != nullptr ? req->row->name : "?", h.category, h.function,
               h.msgRequestID);
        return gw_SendReply(c, req, -EACCES, nullptr, nullptr);
    }
    if (gw_MoversServe(h.category, h.function) && c->fs != nullptr && gw_FsServes(CAT_FILESYS, FN_FS_OPEN))
        return gw_ServeListTransfer(c, req);
    if (gw_StreamServes(h.category, h.function) && c->fs != nullptr && gw_FsServes(CAT_FILESYS, FN_FS_OPEN))
        return gw_ServeStream(c, req);
    if (gw_LfxServes(h.category, h.function) && c->fs != nullptr && gw_FsServes(CAT_FILESYS, FN_FS_OPEN))
        return gw_ServeLfx(c, req);
    if (gw_FsServes(h.category, h.function) && c->fs != nullptr)
        return gw_FsServe(c, req);
    gw_Log("session %llu: %s (%u/%u) id %u: not served by this build", static_cast<unsigned long long>(c->id),
           req->row != nullptr && req->row->name != nullptr ? req->row->name : "?", h.category, h.function,
           h.msgRequestID);
    return gw_SendReply(c, req, -ENOSYS, nullptr, nullptr);
}
