// The expiration attribute request against an in-process peer: the path
// (cut to 1024 characters) and time as decoded, and the result returned.

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

TEST(UserDefinedAttributes, SetExpirationSendsPathAndTimeAndCutsLongPaths)
{
    runInSession([](Peer &peer) {
        peer.expect(step<uda_set_expiration_req_t>(
            CAT_UDA, FN_UDA_SETEXPIRATION,
            [](const uda_set_expiration_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->Path, "/arch/x.tar") == 0 && r->ExpireTime == 0x1234567890ull);
            },
            0));
        FCHECK(kylgw_UdaSetExpiration("/arch/x.tar", 0x1234567890ull) == 0);
        std::string longPath = "/" + std::string(1100, 'q');
        peer.expect(step<uda_set_expiration_req_t>(
            CAT_UDA, FN_UDA_SETEXPIRATION,
            [longPath](const uda_set_expiration_req_t *r, std::string &fail) {
                PCHECK(strlen(r->Path) == 1024 && longPath.compare(0, 1024, r->Path) == 0);
                PCHECK(r->ExpireTime == 5);
            },
            -EPERM));
        FCHECK(kylgw_UdaSetExpiration(longPath.c_str(), 5) == -EPERM);
        FCHECK(kylgw_UdaSetExpiration("", 5) == -ENOENT);
        FCHECK(kylgw_UdaSetExpiration(nullptr, 5) == -EFAULT);
        FCHECK(peer.served() == 2);
        return 0;
    });
}

} // namespace
