// The client open-file table and the operations on open files against an
// in-process peer: open requests as the peer decodes them, the table's
// limit and its recovery after failures, close freeing the entry, seek and
// set-offset with their busy and argument checks, status and preallocation.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <atomic>

#include "fileops_testutil.h"
#include "nxapi_fileops.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

const kyl_xdrproc_t kOpenRply = KYL_XDRPROC(api_quor_Open_rply_t, xdr_api_quor_Open_rply_t);

// Queues an open answered with server descriptor serverFd.
void expectOpen(Peer &peer, int32_t serverFd)
{
    static api_quor_Open_rply_t empty = {};
    peer.expect(step<api_quor_Open_req_t>(CAT_FILESYS, FN_FS_OPEN, nullptr, serverFd, kOpenRply,
                                          [] { return static_cast<void *>(&empty); }));
}

TEST(FileTable, OpenSendsPathFlagsModeAndHintsAndReturnsTheClientDescriptor)
{
    runInSession([](Peer &peer) {
        peer.expect([](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
            PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_OPEN);
            const auto *r = static_cast<const api_quor_Open_req_t *>(body);
            PCHECK(r != nullptr);
            if (r == nullptr)
                return;
            PCHECK(strcmp(r->Path, "/arch/a.tar") == 0);
            PCHECK(r->Oflag == (QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_TRUNC));
            PCHECK(r->Mode == 0640);
            PCHECK(r->HintsIn.COSId == 7 && strcmp(r->HintsIn.COSName, "tape") == 0);
            PCHECK(r->HintsIn.MaxFileSize == 0x123456789ull);
            PCHECK(r->HintsPri.COSIdPriority == 30 && r->HintsPri.FamilyIdPriority == 20);
            api_quor_Open_rply_t rply = {};
            rply.HintsOut.COSId = 9;
            rply.HintsOut.StripeWidth = 4;
            rply.HintsOut.OptimumAccessSize = 1u << 20;
            snprintf(rply.HintsOut.COSName, sizeof rply.HintsOut.COSName, "%s", "disk");
            fileopstest::answer(fd, h, 17, kOpenRply, &rply);
        });
        quor_cos_hints_t in = {};
        in.COSId = 7;
        snprintf(in.COSName, sizeof in.COSName, "%s", "tape");
        in.MaxFileSize = 0x123456789ull;
        quor_cos_priorities_t pri = {};
        pri.COSIdPriority = 30;
        pri.FamilyIdPriority = 20;
        quor_cos_hints_t out = {};
        int fd = quor_Open("/arch/a.tar", O_WRONLY | O_CREAT | O_TRUNC, 0640, &in, &pri, &out);
        FCHECK(fd == 0);
        FCHECK(out.COSId == 9 && out.StripeWidth == 4 && out.OptimumAccessSize == (1u << 20));
        FCHECK(strcmp(out.COSName, "disk") == 0);
        // Without hints the request carries zeros; the read-only access bit
        // and append, exclusive and non-blocking translate too.
        peer.expect(step<api_quor_Open_req_t>(
            CAT_FILESYS, FN_FS_OPEN,
            [](const api_quor_Open_req_t *r, std::string &fail) {
                PCHECK(r->Oflag == (QUOR_OFLAG_RDONLY | QUOR_OFLAG_NONBLOCK));
                PCHECK(r->HintsIn.COSId == 0 && r->HintsIn.COSName[0] == '\0');
                PCHECK(r->HintsPri.COSIdPriority == 0);
            },
            3, kOpenRply, [] {
                static api_quor_Open_rply_t e = {};
                return static_cast<void *>(&e);
            }));
        FCHECK(quor_Open("/b", O_RDONLY | O_NONBLOCK, 0, nullptr, nullptr, nullptr) == 1);
        FCHECK(nxapi_ConvertOpenFlags(O_RDWR | O_APPEND | O_EXCL) ==
               (QUOR_OFLAG_RDWR | QUOR_OFLAG_APPEND | QUOR_OFLAG_EXCL));
        // The entries record the server descriptors.
        FCHECK(nxapi_FileTable[0].quorFiledes == 17 && nxapi_FileTable[1].quorFiledes == 3);
        // Argument checks do not contact the server.
        FCHECK(quor_Open(nullptr, O_RDONLY, 0, nullptr, nullptr, nullptr) == -EFAULT);
        FCHECK(quor_Open("", O_RDONLY, 0, nullptr, nullptr, nullptr) == -ENOENT);
        std::string longPath(1025, 'p');
        FCHECK(quor_Open(longPath.c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr) == -ENAMETOOLONG);
        FCHECK(peer.served() == 2);
        return 0;
    });
}

TEST(FileTable, The251stOpenFailsAndTheOther250StayUsable)
{
    runInSession([](Peer &peer) {
        for (int i = 0; i < NXAPI_MAX_OPEN_FILES; i++) {
            expectOpen(peer, 1000 + i);
            FCHECK(quor_Open("/f", O_RDONLY, 0, nullptr, nullptr, nullptr) == i);
        }
        FCHECK(quor_Open("/f", O_RDONLY, 0, nullptr, nullptr, nullptr) == -EMFILE);
        FCHECK(peer.served() == NXAPI_MAX_OPEN_FILES);
        // Every descriptor still reaches its own server descriptor.
        for (int i : {0, 123, 249}) {
            int32_t want = 1000 + i;
            peer.expect(step<api_quor_Fpreallocate_req_t>(
                CAT_FILESYS, FN_FS_FPREALLOCATE,
                [want](const api_quor_Fpreallocate_req_t *r, std::string &fail) {
                    PCHECK(r->Fildes == want && r->Length == 4096);
                },
                0));
            FCHECK(quor_Fpreallocate(i, 4096) == 0);
        }
        // Closing one makes room for exactly one more, in the freed slot.
        peer.expect(step<api_quor_fildes_req_t>(
            CAT_FILESYS, FN_FS_CLOSE,
            [](const api_quor_fildes_req_t *r, std::string &fail) { PCHECK(r->Fildes == 1123); }, 0));
        FCHECK(quor_Close(123) == 0);
        expectOpen(peer, 5);
        FCHECK(quor_Open("/g", O_RDONLY, 0, nullptr, nullptr, nullptr) == 123);
        FCHECK(quor_Open("/g", O_RDONLY, 0, nullptr, nullptr, nullptr) == -EMFILE);
        return 0;
    });
}

TEST(FileTable, FailedOpensLeaveTheEntryFree)
{
    runInSession([](Peer &peer) {
        // An existing path with create and exclusive: the server's code.
        peer.expect(step<api_quor_Open_req_t>(
            CAT_FILESYS, FN_FS_OPEN,
            [](const api_quor_Open_req_t *r, std::string &fail) {
                PCHECK(r->Oflag == (QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_EXCL));
            },
            -EEXIST));
        FCHECK(quor_Open("/exists", O_WRONLY | O_CREAT | O_EXCL, 0600, nullptr, nullptr, nullptr) == -EEXIST);
        // The entry is free: close says so, and the next open takes it.
        FCHECK(quor_Close(0) == -EBADF);
        expectOpen(peer, 8);
        FCHECK(quor_Open("/new", O_WRONLY | O_CREAT, 0600, nullptr, nullptr, nullptr) == 0);
        return 0;
    });
}

TEST(FileTable, CloseFreesTheEntryWhateverTheServerAnswers)
{
    runInSession([](Peer &peer) {
        expectOpen(peer, 42);
        FCHECK(quor_Open("/c", O_RDONLY, 0, nullptr, nullptr, nullptr) == 0);
        peer.expect(step<api_quor_fildes_req_t>(
            CAT_FILESYS, FN_FS_CLOSE,
            [](const api_quor_fildes_req_t *r, std::string &fail) { PCHECK(r->Fildes == 42); }, -EIO));
        FCHECK(quor_Close(0) == -EIO);
        FCHECK(quor_Close(0) == -EBADF);
        FCHECK(quor_Close(NXAPI_MAX_OPEN_FILES) == -EBADF);
        FCHECK(quor_Close(-1) == -EBADF);
        FCHECK(peer.served() == 2);
        return 0;
    });
}

TEST(FileTable, SeekAndSetOffsetCarryTheServerDescriptorAndCheckTheirArguments)
{
    runInSession([](Peer &peer) {
        expectOpen(peer, 31);
        FCHECK(quor_Open("/s", O_RDWR, 0, nullptr, nullptr, nullptr) == 0);
        const kyl_xdrproc_t seekRply = KYL_XDRPROC(api_quor_Lseek_rply_t, xdr_api_quor_Lseek_rply_t);
        peer.expect(step<api_quor_Lseek_req_t>(
            CAT_FILESYS, FN_FS_LSEEK,
            [](const api_quor_Lseek_req_t *r, std::string &fail) {
                PCHECK(r->Fildes == 31 && r->Offset == 0x100000000ll && r->Whence == SEEK_SET);
            },
            0, seekRply, [] {
                static api_quor_Lseek_rply_t r = {0x100000000ll};
                return static_cast<void *>(&r);
            }));
        FCHECK(quor_Lseek(0, 0x100000000ll, SEEK_SET) == 0x100000000ll);
        // A nonzero header result wins over the body.
        peer.expect(step<api_quor_Lseek_req_t>(CAT_FILESYS, FN_FS_LSEEK, nullptr, -EINVAL, seekRply, [] {
            static api_quor_Lseek_rply_t r = {77};
            return static_cast<void *>(&r);
        }));
        FCHECK(quor_Lseek(0, -5, SEEK_CUR) == -EINVAL);
        FCHECK(quor_Lseek(1, 0, SEEK_SET) == -ENOENT);
        FCHECK(quor_Lseek(NXAPI_MAX_OPEN_FILES, 0, SEEK_SET) == -ENOENT);

        const kyl_xdrproc_t offRply =
            KYL_XDRPROC(api_quor_SetFileOffset_rply_t, xdr_api_quor_SetFileOffset_rply_t);
        peer.expect(step<api_quor_SetFileOffset_req_t>(
            CAT_FILESYS, FN_FS_SETFILEOFFSET,
            [](const api_quor_SetFileOffset_req_t *r, std::string &fail) {
                PCHECK(r->Fildes == 31 && r->OffsetIn == 512 && r->Whence == SEEK_END && r->Direction == 1);
            },
            0, offRply, [] {
                static api_quor_SetFileOffset_rply_t r = {0xFFFFFFFF00ull};
                return static_cast<void *>(&r);
            }));
        uint64_t pos = 0;
        FCHECK(quor_SetFileOffset(0, 512, SEEK_END, 1, &pos) == 0);
        FCHECK(pos == 0xFFFFFFFF00ull);
        // A failure leaves the caller's offset alone.
        peer.expect(step<api_quor_SetFileOffset_req_t>(CAT_FILESYS, FN_FS_SETFILEOFFSET, nullptr, -EIO, offRply,
                                                       [] {
                                                           static api_quor_SetFileOffset_rply_t r = {5};
                                                           return static_cast<void *>(&r);
                                                       }));
        pos = 99;
        FCHECK(quor_SetFileOffset(0, 0, SEEK_SET, 0, &pos) == -EIO && pos == 99);
        int before = peer.served();
        FCHECK(quor_SetFileOffset(0, 0, SEEK_SET, 2, &pos) == -EINVAL);
        FCHECK(quor_SetFileOffset(0, 0, SEEK_SET, 0, nullptr) == -EFAULT);
        FCHECK(peer.served() == before);
        return 0;
    });
}

TEST(FileTable, PositionOperationsOnABusyFileFailWithoutWaiting)
{
    runInSession([](Peer &peer) {
        expectOpen(peer, 6);
        FCHECK(quor_Open("/busy", O_RDONLY, 0, nullptr, nullptr, nullptr) == 0);
        // A transfer (as a list read does) marks the file busy.
        nxapi_tcontext_t *ctx = nullptr;
        FCHECK(nxapi_init(&ctx) == 0);
        nxapi_file_t *f = nullptr;
        FCHECK(nxapi_FileMarkBusy(0, ctx, &f) == 0);
        FCHECK(f == &nxapi_FileTable[0]);
        nxapi_file_t *again = nullptr;
        FCHECK(nxapi_FileMarkBusy(0, ctx, &again) == -ENOENT);
        uint64_t pos = 0;
        FCHECK(quor_Lseek(0, 0, SEEK_SET) == -ENOENT);
        FCHECK(quor_SetFileOffset(0, 0, SEEK_SET, 0, &pos) == -ENOENT);
        FCHECK(peer.served() == 1);
        nxapi_FileMarkIdle(f);
        peer.expect(step<api_quor_Lseek_req_t>(CAT_FILESYS, FN_FS_LSEEK, nullptr, 0,
                                               KYL_XDRPROC(api_quor_Lseek_rply_t, xdr_api_quor_Lseek_rply_t),
                                               [] {
                                                   static api_quor_Lseek_rply_t r = {10};
                                                   return static_cast<void *>(&r);
                                               }));
        FCHECK(quor_Lseek(0, 10, SEEK_SET) == 10);
        return 0;
    });
}

TEST(FileTable, FstatDeliversTheStatusRecord)
{
    runInSession([](Peer &peer) {
        expectOpen(peer, 12);
        FCHECK(quor_Open("/st", O_RDONLY, 0, nullptr, nullptr, nullptr) == 0);
        peer.expect(step<api_quor_fildes_req_t>(
            CAT_FILESYS, FN_FS_FSTAT,
            [](const api_quor_fildes_req_t *r, std::string &fail) { PCHECK(r->Fildes == 12); }, 0,
            KYL_XDRPROC(quor_stat_t, xdr_quor_stat_t), [] {
                static quor_stat_t s = {};
                s.st_ino = 0xABCDEF0123ull;
                s.st_size = 0x200000001ull;
                s.st_mode = S_IFREG | 0644;
                s.st_uid = 501;
                s.quor_st_mtime = 1700000000;
                return static_cast<void *>(&s);
            }));
        quor_stat_t st;
        memset(&st, 0xFF, sizeof st);
        FCHECK(quor_Fstat(0, &st) == 0);
        FCHECK(st.st_ino == 0xABCDEF0123ull && st.st_size == 0x200000001ull);
        FCHECK(st.st_mode == (S_IFREG | 0644) && st.st_uid == 501 && st.quor_st_mtime == 1700000000);
        FCHECK(st.quor_st_birthtime == 0);
        FCHECK(quor_Fstat(1, &st) == -EBADF);
        FCHECK(quor_Fstat(0, nullptr) == -EFAULT);
        FCHECK(quor_Fpreallocate(7, 1) == -EBADF);
        return 0;
    });
}

} // namespace

namespace {

// A listening TCP socket on 127.0.0.1 standing in for the gateway's data
// stream; *addr gets its address.
int dataListener(quor_sockaddr_t *addr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    if (bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len) != 0) {
        close(fd);
        return -1;
    }
    memset(addr, 0, sizeof *addr);
    memcpy(&addr->hs_addr, &in, sizeof in);
    addr->hs_addrlen = sizeof in;
    return fd;
}

// Answers an OpenX with server descriptor 21 and the listener's address,
// then accepts the data connection and sends the control byte (or closes
// it at once when sendControl is false).
fileopstest::Step openXReply(int listenFd, quor_sockaddr_t addr, bool sendControl)
{
    return [=](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_OpenX_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_OPENX);
        PCHECK(r != nullptr && strcmp(r->Path, "/gw/arch") == 0);
        // Read-only carries no access bit; the stream flags get bits 0 and 1.
        PCHECK(r != nullptr && r->Oflag == 0 && r->XIOFlags == 0x103u && r->Mode == 0666);
        api_quor_OpenX_rply_t rply = {};
        rply.connectaddr = addr;
        rply.dataport = reinterpret_cast<const sockaddr_in *>(&addr.hs_addr)->sin_port;
        rply.HintsOut.COSId = 2;
        fileopstest::answer(fd, h, 21, KYL_XDRPROC(api_quor_OpenX_rply_t, xdr_api_quor_OpenX_rply_t), &rply);
        int c = accept(listenFd, nullptr, nullptr);
        PCHECK(c >= 0);
        if (c < 0)
            return;
        unsigned char ctl = 1;
        if (sendControl)
            PCHECK(write(c, &ctl, 1) == 1);
        close(c);
    };
}

TEST(FileTable, OpenXConnectsTheDataStreamAndFailsWithoutItsControlByte)
{
    runInSession([](Peer &peer) {
        quor_sockaddr_t addr;
        int lfd = dataListener(&addr);
        FCHECK(lfd >= 0);
        peer.expect(openXReply(lfd, addr, true));
        quor_cos_hints_t out = {};
        int fd = quor_OpenX(0x100, "/gw/arch", O_RDONLY, 0666, nullptr, nullptr, &out);
        FCHECK(fd == 0);
        FCHECK(out.COSId == 2);
        FCHECK(nxapi_FileTable[0].quorFiledes == 21 && nxapi_FileTable[0].sockFiledes >= 0);
        FCHECK(nxapi_FileTable[0].xopenFlags == NXAPI_XOPEN_GATEWAY_STREAM);
        FCHECK(nxapi_FileTable[0].dataPort == ntohs(reinterpret_cast<sockaddr_in *>(&addr.hs_addr)->sin_port));

        // No control byte: the server's file is closed and the entry freed.
        peer.expect(openXReply(lfd, addr, false));
        peer.expect(step<api_quor_fildes_req_t>(
            CAT_FILESYS, FN_FS_CLOSE,
            [](const api_quor_fildes_req_t *r, std::string &fail) { PCHECK(r->Fildes == 21); }, 0));
        FCHECK(quor_OpenX(0x100, "/gw/arch", O_RDONLY, 0666, nullptr, nullptr, nullptr) == -ECONNRESET);
        FCHECK(quor_Close(1) == -EBADF);
        FCHECK(peer.served() == 3);
        close(lfd);
        return 0;
    });
}

} // namespace
