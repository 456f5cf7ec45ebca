// Class-of-service selection against an in-process peer: the request's
// fields as decoded and the hints and priorities delivered.

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

TEST(ClassOfService, SelectCOSSendsTheFileDescriptionAndDeliversHintsAndPriorities)
{
    runInSession([](Peer &peer) {
        const kyl_xdrproc_t rplyCodec = KYL_XDRPROC(api_selectcos_rply_t, xdr_api_selectcos_rply_t);
        peer.expect(step<api_selectcos_req_t>(
            CAT_COS, FN_COS_SELECTCOS,
            [](const api_selectcos_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->cosList, "3,5") == 0 && r->fileSize == 0x2540BE400ull);
                PCHECK(r->uid == 501 && r->gid == 20 && r->charge == 77 && r->copies == 2 && r->subsysId == 4);
            },
            0, rplyCodec, [] {
                static api_selectcos_rply_t r = {};
                r.HintsIn.COSId = 5;
                r.HintsIn.MinFileSize = 1u << 30;
                r.HintPriorities.COSIdPriority = 30;
                r.HintPriorities.MinFileSizePriority = 20;
                return static_cast<void *>(&r);
            }));
        quor_cos_hints_t hints = {};
        quor_cos_priorities_t pri = {};
        FCHECK(quorex_SelectCOS("3,5", 0x2540BE400ull, 501, 20, 77, 2, 4, &hints, &pri) == 0);
        FCHECK(hints.COSId == 5 && hints.MinFileSize == (1u << 30));
        FCHECK(pri.COSIdPriority == 30 && pri.MinFileSizePriority == 20 && pri.FamilyIdPriority == 0);
        // No list means any class; a failure leaves the outputs alone.
        peer.expect(step<api_selectcos_req_t>(
            CAT_COS, FN_COS_SELECTCOS,
            [](const api_selectcos_req_t *r, std::string &fail) { PCHECK(r->cosList[0] == '\0'); }, -ENOSPC,
            rplyCodec, [] {
                static api_selectcos_rply_t r = {};
                r.HintsIn.COSId = 99;
                return static_cast<void *>(&r);
            }));
        FCHECK(quorex_SelectCOS(nullptr, 1, 0, 0, 0, 1, 0, &hints, &pri) == -ENOSPC);
        FCHECK(hints.COSId == 5);
        FCHECK(quorex_SelectCOS("", 1, 0, 0, 0, 1, 0, nullptr, &pri) == -EFAULT);
        std::string tooLong(KYLGW_MAX_COSLIST + 1, '1');
        FCHECK(quorex_SelectCOS(tooLong.c_str(), 1, 0, 0, 0, 1, 0, &hints, &pri) == -ENAMETOOLONG);
        FCHECK(peer.served() == 2);
        return 0;
    });
}

} // namespace
