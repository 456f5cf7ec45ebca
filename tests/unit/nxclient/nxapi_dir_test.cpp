// Remote directories against an in-process peer: mkdir and opendir
// requests, reading entries with their names and attributes, and the
// refusal of a listing with more entries than were asked for.

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

const kyl_xdrproc_t kReadAttrsRply = KYL_XDRPROC(api_quor_ReadAttrs_rply_t, xdr_api_quor_ReadAttrs_rply_t);

// Answers a ReadAttrs request with n entries named e0, e1, ...
fileopstest::Step listing(uint32_t n, uint32_t wantCount)
{
    return [n, wantCount](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_ReadAttrs_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_READATTRS);
        PCHECK(r != nullptr && r->Dirdes == 11 && r->OffsetIn == 0x1000000002ull && r->EntryCount == wantCount &&
               r->GetAttributes == 1);
        static ns_DirEntry_t entries[8];
        memset(entries, 0, sizeof entries);
        for (uint32_t i = 0; i < n; i++) {
            snprintf(entries[i].Name, sizeof entries[i].Name, "e%u", i);
            entries[i].ObjOffset = 100 + i;
            entries[i].Attrs.Type = 129;
            entries[i].Attrs.DataLength = 1000 * (i + 1);
        }
        api_quor_ReadAttrs_rply_t rply = {n, 1, 0x2000000003ull, entries};
        fileopstest::answer(fd, h, 0, kReadAttrsRply, &rply);
    };
}

TEST(Directories, MkdirOpendirAndClosedirSendTheirFieldsAndReturnTheResult)
{
    runInSession([](Peer &peer) {
        peer.expect(step<api_quor_Mkdir_req_t>(
            CAT_FILESYS, FN_FS_MKDIR,
            [](const api_quor_Mkdir_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->Path, "/arch/d") == 0 && r->Mode == 0750);
            },
            -EEXIST));
        FCHECK(quor_Mkdir("/arch/d", 0750) == -EEXIST);
        peer.expect(step<api_quor_Opendir_req_t>(
            CAT_FILESYS, FN_FS_OPENDIR,
            [](const api_quor_Opendir_req_t *r, std::string &fail) { PCHECK(strcmp(r->Path, "/arch") == 0); },
            11));
        FCHECK(quor_Opendir("/arch") == 11);
        peer.expect(step<api_quor_Closedir_req_t>(
            CAT_FILESYS, FN_FS_CLOSEDIR,
            [](const api_quor_Closedir_req_t *r, std::string &fail) { PCHECK(r->Dirdes == 11); }, 0));
        FCHECK(quor_Closedir(11) == 0);
        FCHECK(quor_Mkdir("", 0700) == -ENOENT);
        FCHECK(quor_Opendir(nullptr) == -EFAULT);
        FCHECK(peer.served() == 3);
        return 0;
    });
}

TEST(Directories, ReadAttrsDeliversEntriesEndAndNextOffset)
{
    runInSession([](Peer &peer) {
        peer.expect(listing(3, 4));
        ns_DirEntry_t entries[4];
        memset(entries, 0, sizeof entries);
        uint32_t end = 0;
        uint64_t next = 0;
        FCHECK(quor_ReadAttrs(11, 0x1000000002ull, 4, 1, &end, &next, entries) == 3);
        FCHECK(end == 1 && next == 0x2000000003ull);
        FCHECK(strcmp(entries[0].Name, "e0") == 0 && strcmp(entries[2].Name, "e2") == 0);
        FCHECK(entries[2].ObjOffset == 102 && entries[2].Attrs.DataLength == 3000 && entries[1].Attrs.Type == 129);
        FCHECK(entries[3].Name[0] == '\0');
        // Counts outside 1..1024 and missing outputs never reach the server.
        FCHECK(quor_ReadAttrs(11, 0, 0, 1, &end, &next, entries) == -EINVAL);
        FCHECK(quor_ReadAttrs(11, 0, KYLGW_MAX_DIRENTRIES + 1, 1, &end, &next, entries) == -EINVAL);
        FCHECK(quor_ReadAttrs(11, 0, 4, 1, nullptr, &next, entries) == -EFAULT);
        FCHECK(peer.served() == 1);
        return 0;
    });
}

TEST(Directories, AListingWithMoreEntriesThanAskedForBreaksTheConnection)
{
    runInSession([](Peer &peer) {
        peer.expect(listing(3, 2));
        ns_DirEntry_t entries[3];
        memset(entries, 0, sizeof entries);
        uint32_t end = 7;
        uint64_t next = 7;
        FCHECK(quor_ReadAttrs(11, 0x1000000002ull, 2, 1, &end, &next, entries) == KYLGW_E_BADMSG);
        // Nothing was copied, and the connection is closed.
        FCHECK(entries[0].Name[0] == '\0' && end == 7 && next == 7);
        FCHECK(nxapi_getCurConnection()->state.load() == CONNECTION_CLOSED);
        return 0;
    });
}

} // namespace
