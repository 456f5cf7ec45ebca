// Operations on files local to the gateway host against an in-process
// peer: working directory, status, make directory and unlink.

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

TEST(GatewayLocalFiles, GetcwdStatMkdirAndUnlink)
{
    runInSession([](Peer &peer) {
        const kyl_xdrproc_t cwdRply = KYL_XDRPROC(api_lfx_Getcwd_rply_t, xdr_api_lfx_Getcwd_rply_t);
        auto cwd = [] {
            static api_lfx_Getcwd_rply_t r = {};
            snprintf(r.path, sizeof r.path, "%s", "/srv/data");
            return static_cast<void *>(&r);
        };
        peer.expect(step<char>(CAT_LFX, FN_LFX_GETCWD, nullptr, 0, cwdRply, cwd));
        char buf[64] = {};
        FCHECK(kylgw_LfxGetcwd(buf, sizeof buf) == 0 && strcmp(buf, "/srv/data") == 0);
        peer.expect(step<char>(CAT_LFX, FN_LFX_GETCWD, nullptr, 0, cwdRply, cwd));
        char small[9];
        FCHECK(kylgw_LfxGetcwd(small, sizeof small) == -ERANGE);

        peer.expect(step<lfx_Stat_req_t>(
            CAT_LFX, FN_LFX_STAT,
            [](const lfx_Stat_req_t *r, std::string &fail) { PCHECK(strcmp(r->path, "/srv/data/a") == 0); }, 0,
            KYL_XDRPROC(lfx_Stat_rply_t, xdr_lfx_Stat_rply_t), [] {
                static lfx_Stat_rply_t r = {};
                r.hst_mode = 0100644;
                r.hst_uid = 10;
                r.hst_mtime = 1650000000;
                r.hst_size = 0x180000000ull;
                return static_cast<void *>(&r);
            }));
        lfx_Stat_rply_t st = {};
        FCHECK(kylgw_LfxStat("/srv/data/a", &st) == 0);
        FCHECK(st.hst_mode == 0100644 && st.hst_uid == 10 && st.hst_mtime == 1650000000);
        FCHECK(st.hst_size == 0x180000000ull);
        // Paths local to the gateway host may be longer than storage paths.
        std::string deep = "/" + std::string(2000, 'd');
        peer.expect(step<api_lfx_Mkdir_req_t>(
            CAT_LFX, FN_LFX_MKDIR,
            [deep](const api_lfx_Mkdir_req_t *r, std::string &fail) { PCHECK(deep == r->path && r->mode == 0755); },
            -EEXIST));
        FCHECK(kylgw_LfxMkdir(deep.c_str(), 0755) == -EEXIST);
        peer.expect(step<lfx_Unlink_req_t>(
            CAT_LFX, FN_LFX_UNLINK,
            [](const lfx_Unlink_req_t *r, std::string &fail) { PCHECK(strcmp(r->path, "/srv/data/a") == 0); }, 0));
        FCHECK(kylgw_LfxUnlink("/srv/data/a") == 0);
        FCHECK(kylgw_LfxStat("", &st) == -ENOENT);
        FCHECK(kylgw_LfxStat("/x", nullptr) == -EFAULT);
        FCHECK(kylgw_LfxUnlink(std::string(KYLGW_MAX_LFX_PATH + 1, 'z').c_str()) == -ENAMETOOLONG);
        FCHECK(peer.served() == 5);
        return 0;
    });
}

} // namespace
