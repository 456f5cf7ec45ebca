// List reads and writes through kylgwd's movers, driven by the client
// library in a forked child: each child is a fresh client process with one
// gateway session, which reads the fault script written just before it.
#include "velk_Env.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "nxapi_mover.h"
#include "velk_gwsession.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>
#include <thread>
#include <quor_api.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using velktest::readFile;
using velktest::writeFile;

class KylgwdMovers : public velktest::VelkGatewayTest {
protected:
    // Runs scenario in a child with the gateway environment and the fault
    // script faults; returns its exit code (-1 when it did not end).
    int inChild(const std::string &faults, const std::function<int()> &scenario)
    {
        writeFile(dir / "faults", faults);
        return VelkGatewayTest::inChild(scenario);
    }
};

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + seed * 7 + i / 4099) & 0xff);
    return s;
}

int openWithCos(const char *path, int oflag, uint32_t cos)
{
    quor_cos_hints_t h{};
    quor_cos_priorities_t p{};
    h.COSId = cos;
    p.COSIdPriority = 30;
    return quor_Open(path, oflag, 0644, &h, &p, nullptr);
}

// Writes data to client file fd through the movers of one WriteList,
// accepting all width control connections before serving any (so the
// width movers are at work on the request at once), each served on its own
// thread with pieces cut to window.  Prints the transfer id; returns 0 or
// a step number.
int writeAllMoversAtOnce(int fd, std::string &data, uint32_t width, uint64_t window)
{
    kyl_uuid_t id = quor_GetUniqueRequestID();
    quor_moverxfer_t x;
    x.function = IOD_FUNC_WRITE;
    x.xferId = quor_RequestIDtoU64(&id);
    x.buffer = reinterpret_cast<unsigned char *>(data.data());
    x.length = data.size();
    x.window = window;
    x.timeout = 20;
    if ((x.ticketRc = quor_MoverTicket(fd, x.xferId, &x.ticket)) != 0)
        return 20;
    int listenFd = -1;
    quor_sockaddr_t addr{};
    if (quor_MoverListen(&listenFd, &addr) != 0)
        return 21;
    iod_srcsinkdesc_t net{}, file{};
    net.Flags = IOD_DESC_MOVER_PROTOCOL | IOD_DESC_CLIENT_NET;
    net.Length = file.Length = data.size();
    net.SrcSinkAddr.Type = IOD_ADDR_NET;
    net.SrcSinkAddr.Addr.NetAddr = {x.xferId, addr, 0};
    file.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
    file.SrcSinkAddr.Addr.ClientFileAddr = {fd, 0};
    quor_IOD_t iod{id, IOD_FUNC_WRITE, IOD_FLAG_LIST_WRITE, nullptr, 1, 1, &net, &file};
    quor_IOR_t ior{};
    int callRc = 1;
    std::thread call([&] { callRc = quor_WriteList(&iod, 0, &ior); });
    std::vector<int> ctl(width, -1);
    int rc = 0;
    for (int &c : ctl)
        if (rc == 0)
            rc = quor_MoverAccept(&x, listenFd, &c);
    std::vector<std::thread> serve;
    for (int c : ctl)
        if (c >= 0)
            serve.emplace_back([&x, c] { quor_MoverServeControl(&x, c); });
    for (std::thread &t : serve)
        t.join();
    close(listenFd);
    call.join();
    printf("xfer %lld\n", static_cast<long long>(x.xferId));
    fflush(stdout);
    const uint64_t moved = ior.SinkReplyList != nullptr ? ior.SinkReplyList->BytesMoved : 0;
    free_quor_ior_mem(&ior);
    if (rc != 0)
        return 22;
    return callRc == 0 && x.status == 0 && moved == data.size() && x.moved == data.size() ? 0 : 23;
}

TEST_F(KylgwdMovers, StripesOfOneFourAndEightMoveEveryByteBothWays)
{
    // Window 500000 cuts every block (1 MiB or 768 KiB) into pieces.
    const uint64_t window = 500000;
    for (uint32_t width : {1u, 4u, 8u}) {
        SCOPED_TRACE(width);
        const uint64_t block = width == 8 ? 768 * 1024 : 1024 * 1024;
        std::string data = pattern(width * block + block / 2 + 17, width);
        const std::string path = "/home/demo/w" + std::to_string(width);
        int code = inChild("", [&] {
            int fd = openWithCos(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, width);
            if (fd < 0)
                return 10;
            if (int step = writeAllMoversAtOnce(fd, data, width, window))
                return step;
            std::string back(data.size(), '\0');
            uint64_t moved = 0;
            if (quor_ListTransfer(fd, IOD_FUNC_READ, 0, back.data(), back.size(), window, 20, &moved) != 0)
                return 30;
            return moved == data.size() && back == data ? 0 : 31;
        });
        ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
        EXPECT_TRUE(readFile(home() + "/w" + std::to_string(width)) == data);

        // Every mover of the write started before any of them ended, and
        // the window cut pieces.
        const std::string out = readFile(dir / "child.out");
        const std::string xfer = "\"xfer\":" + out.substr(out.find(' ') + 1, out.find('\n') - out.find(' ') - 1);
        size_t starts = 0, ends = 0, cuts = 0;
        for (const std::string &line : velktest::lines(readFile(dir / "events"))) {
            if (line.find(xfer + ",") == std::string::npos)
                continue;
            if (line.find("\"event\":\"mover_start\"") != std::string::npos) {
                EXPECT_EQ(ends, 0u) << line;
                starts++;
            } else if (line.find("\"event\":\"mover\"") != std::string::npos) {
                EXPECT_NE(line.find("\"status\":0}"), std::string::npos) << line;
                ends++;
                cuts += line.find("\"cuts\":0,") == std::string::npos;
            }
        }
        EXPECT_EQ(starts, width);
        EXPECT_EQ(ends, width);
        EXPECT_EQ(cuts, width);
    }
}

TEST_F(KylgwdMovers, EveryMoverFaultFailsTheTransferWithAMessage)
{
    const std::string data = pattern(3 * 1024 * 1024 + 123, 5);
    writeFile(home() + "/src", data);
    struct Case {
        const char *fault;
        int function;
        int rc;          // expected result; 0: any failure; 1: success with every byte in place
        int64_t maxSize; // a failed write leaves a prefix of at most this many bytes; -1: not checked
    };
    const Case cases[] = {
        {"bad_init_checksum", IOD_FUNC_READ, -EINVAL, -1},
        {"wrong_xferid", IOD_FUNC_WRITE, -EPROTO, 0},
        {"pdata_offset_outside", IOD_FUNC_READ, -EPROTO, -1},
        {"mover_close_midblock", IOD_FUNC_READ, 0, -1},
        {"mover_close_midblock", IOD_FUNC_WRITE, 0, 0},
        {"mover_stall=30", IOD_FUNC_READ, -ETIMEDOUT, -1},
        {"compl_overclaim", IOD_FUNC_WRITE, -EPROTO, -1},
        {"duplicate_address", IOD_FUNC_READ, -EPROTO, -1},
        {"duplicate_address", IOD_FUNC_WRITE, -EPROTO, 0},
        {"request_earlier_data", IOD_FUNC_READ, -EPROTO, -1},
        {"bytes_overclaim", IOD_FUNC_READ, -EPROTO, -1},
        {"success_zero", IOD_FUNC_READ, -EPROTO, -1},
        {"write_eio_at=1572864", IOD_FUNC_WRITE, -EIO, 1572864},
        {"eom_at=1572864", IOD_FUNC_WRITE, -9000, 1572864},
        {"enospc_at=1572864,moved=0", IOD_FUNC_WRITE, -ENOSPC, 1572864},
        {"read_eio_at=1572864", IOD_FUNC_READ, -EIO, -1},
        {"gap_at=1048576,4096", IOD_FUNC_READ, -ENODATA, -1},
        {"reverse_order", IOD_FUNC_READ, 1, -1},
        {"delay_mover=0,300", IOD_FUNC_WRITE, 1, -1},
    };
    for (const Case &c : cases) {
        const bool write = c.function == IOD_FUNC_WRITE;
        SCOPED_TRACE(std::string(c.fault) + (write ? " write" : " read"));
        writeFile(home() + "/dst", data); // a failed write must cut it back
        int code = inChild(std::string(c.fault) + "\n", [&] {
            std::string buf = write ? data : std::string(data.size(), '\0');
            int fd = quor_Open(write ? "/home/demo/dst" : "/home/demo/src", write ? O_RDWR : O_RDONLY,
                               0644, nullptr, nullptr, nullptr);
            if (fd < 0)
                return 10;
            uint64_t moved = 0;
            // A short wait only where a mover stalls; elsewhere a loaded
            // machine must not turn a fault into a time-out.
            const int wait = std::string(c.fault).starts_with("mover_stall") ? 2 : 30;
            int rc = quor_ListTransfer(fd, c.function, 0, buf.data(), buf.size(), 0, wait, &moved);
            if (c.rc == 1)
                return rc == 0 && moved == data.size() && buf == data ? 0 : 13;
            if (rc >= 0)
                return 11;
            fprintf(stderr, "quor_ListTransfer returned %d\n", rc);
            return c.rc == 0 || rc == c.rc ? 0 : 12;
        });
        EXPECT_EQ(code, 0) << readFile(dir / "child.err");
        EXPECT_EQ(readFile(dir / "child.err").find("*** quor_ListTransfer: ") != std::string::npos, c.rc != 1);
        const std::string name = std::string(c.fault).substr(0, std::string(c.fault).find('='));
        EXPECT_NE(readFile(dir / "events").find("\"fault\":\"" + name + "\""), std::string::npos);
        if (c.maxSize >= 0) {
            // Cut back to the contiguous prefix of what was written.
            const std::string left = readFile(home() + "/dst");
            EXPECT_LE(static_cast<int64_t>(left.size()), c.maxSize);
            EXPECT_EQ(left, data.substr(0, left.size()));
        }
    }
    // A script with an unknown key is refused: no session runs without its fault.
    EXPECT_EQ(inChild("bad_init_checksun\n",
                      [] { return quor_Open("/home/demo/src", O_RDONLY, 0, nullptr, nullptr, nullptr) < 0 ? 0 : 1; }),
              0);
}

} // namespace

namespace {

// Connects to the wildcard listening address a on loopback.
int connectLoopback(const quor_sockaddr_t &a)
{
    sockaddr_storage to = a.hs_addr;
    if (to.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(to).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        reinterpret_cast<sockaddr_in6 &>(to).sin6_addr = in6addr_loopback;
    int s = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const socklen_t len = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&to), len) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The sequential block exchange with a stand-in mover on loopback: one
// block per connection round, checked against the transfer and the buffer.
TEST_F(KylgwdMovers, WaitForMoversMovesCheckedBlocks)
{
    struct Case {
        const char *name;
        bool write;
        uint64_t xfer, off, len; // the mover's block (len 0: no mover)
        ssize_t want;
    };
    const Case cases[] = {
        {"block received", false, 7, 100, 50, 50},   {"another transfer", false, 8, 100, 50, -EINVAL},
        {"past the buffer", false, 7, 900, 200, -EINVAL}, {"block requested", true, 7, 10, 64, 64},
        {"no mover", false, 7, 0, 0, -ETIMEDOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int code = inChild("", [&] {
                      char cwd[1025];
                      if (quor_Getcwd(cwd, sizeof cwd) != 0) // opens the library and the session
                          return 9;
                      const std::string src = pattern(2000, 9);
                      std::string buf = c.write ? src.substr(0, 1000) : std::string(1000, '\0');
                      int lfd = -1;
                      quor_sockaddr_t a{};
                      if (quor_MoverListen(&lfd, &a) != 0)
                          return 10;
                      bool moverOk = c.len == 0;
                      std::thread mover([&] {
                          int s = c.len > 0 ? connectLoopback(a) : -1;
                          pdata_hdr_t h{0, c.xfer, c.off, c.len, 0, 0}, in{};
                          std::string got(c.len, '\0');
                          if (s >= 0 && !c.write)
                              moverOk = pdata_send_hdr_and_data(s, &h, src.data() + c.off, c.len) >= 0;
                          else if (s >= 0)
                              moverOk = pdata_send_hdr(s, &h) > 0 && pdata_recv_hdr(s, &in) > 0 &&
                                        quor_recv_data(s, got.data(), c.len) > 0 && got == src.substr(c.off, c.len);
                          if (s >= 0)
                              close(s);
                      });
                      uint64_t n = 0;
                      ssize_t r = c.write ? mover_waitfor_requests_timeout(lfd, 7, 0, buf.data(), 1000, &n, 1)
                                          : mover_waitfor_data_timeout(lfd, 7, 0, buf.data(), 1000, &n, 1);
                      mover.join();
                      close(lfd);
                      if (r != c.want)
                          return 11;
                      if (r > 0 && (!moverOk || n != c.len || buf.substr(c.off, c.len) != src.substr(c.off, c.len)))
                          return 12;
                      return 0;
                  });
        EXPECT_EQ(code, 0) << readFile(dir / "child.err");
    }
}

} // namespace

namespace {

// A class of 65 movers over 4 KiB blocks.
class KylgwdWideMovers : public KylgwdMovers {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(startGateway("COS = {\n 11 = {\n  name = default\n  default = yes\n }\n"
                                 " 65 = {\n  name = wide\n  width = 65\n  block = 4096\n }\n}\n"));
    }
};

// 67 blocks: the width is cut to 64, and mover k moves blocks k and k + 64.
TEST_F(KylgwdWideMovers, AtMostSixtyFourMoversEachOwningEveryWidthThBlock)
{
    const std::string data = pattern(66 * 4096 + 100, 2);
    int code = inChild("", [&] {
        int fd = openWithCos("/home/demo/wide", O_RDWR | O_CREAT | O_TRUNC, 65);
        std::string copy = data, back(data.size(), '\0');
        uint64_t w = 0, r = 0;
        if (fd < 0 || quor_ListTransfer(fd, IOD_FUNC_WRITE, 0, copy.data(), copy.size(), 0, 20, &w) != 0 ||
            quor_ListTransfer(fd, IOD_FUNC_READ, 0, back.data(), back.size(), 0, 20, &r) != 0)
            return 10;
        return w == data.size() && r == data.size() && back == data ? 0 : 11;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err");
    EXPECT_TRUE(readFile(home() + "/wide") == data);
    size_t ends = 0;
    for (const std::string &line : velktest::lines(readFile(dir / "events"))) {
        if (line.find("\"event\":\"mover\"") == std::string::npos)
            continue;
        ends++;
        const int k = std::stoi(line.substr(line.find("\"mover\":") + 8));
        EXPECT_NE(line.find("\"width\":64,"), std::string::npos) << line;
        EXPECT_NE(line.find(k <= 2 ? "\"pieces\":2," : "\"pieces\":1,"), std::string::npos) << line;
    }
    EXPECT_EQ(ends, 2u * 64);
}

} // namespace

namespace {

// Descriptor lists the client refuses before anything is sent.
TEST_F(KylgwdMovers, MalformedDescriptorListsAreRefused)
{
    writeFile(home() + "/src", "x");
    int code = inChild("", [] {
        int fd = quor_Open("/home/demo/src", O_RDONLY, 0, nullptr, nullptr, nullptr);
        if (fd < 0)
            return 10;
        auto desc = [](int32_t type, int32_t des) {
            iod_srcsinkdesc_t d{};
            d.Length = 1;
            d.SrcSinkAddr.Type = type;
            d.SrcSinkAddr.Addr.ClientFileAddr = {des, 0};
            return d;
        };
        iod_srcsinkdesc_t file = desc(IOD_ADDR_CLIENTFILE, fd), file2 = desc(IOD_ADDR_CLIENTFILE, fd),
                          net = desc(IOD_ADDR_NET, 0), local = desc(IOD_ADDR_LOCALFILE, 0),
                          closed = desc(IOD_ADDR_CLIENTFILE, 249);
        file2.Next = &file;
        struct Case {
            int32_t function, srcCount;
            iod_srcsinkdesc_t *src, *sink;
            int want;
        } cases[] = {
            {IOD_FUNC_READ, 1, &net, &file, -EINVAL},  {3, 1, &file, &net, -EINVAL},
            {IOD_FUNC_READ, 2, &file2, &net, -EBUSY},  {IOD_FUNC_READ, 1, &local, &net, -64},
            {IOD_FUNC_READ, 1, &net, &net, -EFAULT},   {IOD_FUNC_READ, 2, &net, &net, -ERANGE},
            {IOD_FUNC_READ, 1, &closed, &net, -EBADF}, {IOD_FUNC_WRITE, 1, &file, &net, -EINVAL},
        };
        for (const Case &c : cases) {
            quor_IOD_t iod{{}, c.function, 0, nullptr, c.srcCount, 1, c.src, c.sink};
            quor_IOR_t ior{};
            if (quor_ReadList(&iod, 0, &ior) != c.want)
                return 20 + static_cast<int>(&c - cases);
        }
        quor_IOR_t ior{};
        return quor_ReadList(nullptr, 0, &ior) == -EFAULT && quor_WriteList(nullptr, 0, &ior) == -EFAULT ? 0 : 11;
    });
    EXPECT_EQ(code, 0) << readFile(dir / "child.err");
}

// Movers connect back only to the host the request came from: a request
// whose network address names another host is refused, by either protocol.
TEST_F(KylgwdMovers, RequestsNamingAnotherHostAreRefused)
{
    writeFile(home() + "/src", pattern(100000, 9));
    int code = inChild("", [] {
        int fd = quor_Open("/home/demo/src", O_RDONLY, 0, nullptr, nullptr, nullptr);
        if (fd < 0)
            return 10;
        for (uint32_t flags : {IOD_DESC_MOVER_PROTOCOL | IOD_DESC_CLIENT_NET, uint32_t{IOD_DESC_CLIENT_NET}}) {
            iod_srcsinkdesc_t file{}, net{};
            file.Length = net.Length = 100000;
            file.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
            file.SrcSinkAddr.Addr.ClientFileAddr = {fd, 0};
            net.Flags = flags;
            net.SrcSinkAddr.Type = IOD_ADDR_NET;
            auto &to = reinterpret_cast<sockaddr_in &>(net.SrcSinkAddr.Addr.NetAddr.SockAddr.hs_addr);
            to.sin_family = AF_INET;
            to.sin_port = htons(9);
            inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
            net.SrcSinkAddr.Addr.NetAddr.SockAddr.hs_addrlen = sizeof to;
            quor_IOD_t iod{quor_GetUniqueRequestID(), IOD_FUNC_READ, 0, nullptr, 1, 1, &file, &net};
            quor_IOR_t ior{};
            const int rc = quor_ReadList(&iod, 0, &ior);
            free_quor_ior_mem(&ior);
            if (rc != -EACCES) {
                fprintf(stderr, "flags %#x: %d\n", flags, rc);
                return 20;
            }
        }
        return 0;
    });
    EXPECT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
}

} // namespace

namespace {

TEST_F(KylgwdMovers, SequentialReadsAndWritesMoveEveryByteAtTheFilePosition)
{
    // 5 MiB + 300 bytes take two blocks of kylgwd's 4 MiB each way.
    for (size_t size : {size_t{1000}, size_t{5 * 1024 * 1024 + 300}}) {
        SCOPED_TRACE(size);
        const std::string data = pattern(size, 3);
        const size_t before = velktest::lines(readFile(dir / "events")).size();
        int code = inChild("", [&] {
            int fd = quor_Open("/home/demo/seq", O_RDWR | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
            if (fd < 0)
                return 10;
            const size_t first = size / 3;
            if (quor_Write(fd, data.data(), first) != static_cast<ssize_t>(first) ||
                quor_Write(fd, data.data() + first, size - first) != static_cast<ssize_t>(size - first))
                return 11;
            if (quor_Lseek(fd, 0, SEEK_SET) != 0)
                return 12;
            std::string back(size + 100, '\0');
            if (quor_Read(fd, back.data(), back.size()) != static_cast<ssize_t>(size))
                return 13;
            if (back.substr(0, size) != data || quor_Read(fd, back.data(), 10) != 0)
                return 14;
            return 0;
        });
        ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
        EXPECT_TRUE(readFile(home() + "/seq") == data);
        size_t blocks = 0;
        const auto events = velktest::lines(readFile(dir / "events"));
        for (size_t i = before; i < events.size(); i++)
            if (events[i].find("\"event\":\"sequential\"") != std::string::npos)
                blocks += std::stoul(events[i].substr(events[i].find("\"blocks\":") + 9));
        // Two writes, one read of everything: one block each under 4 MiB.
        EXPECT_EQ(blocks, size < 4 * 1024 * 1024 ? 3u : 4u);
    }
    // A reply that claims more than was asked for is refused.
    writeFile(home() + "/src", pattern(700, 1));
    EXPECT_EQ(inChild("bytes_overclaim\n", [] {
                  int fd = quor_Open("/home/demo/src", O_RDONLY, 0, nullptr, nullptr, nullptr);
                  char buf[700];
                  return fd >= 0 && quor_Read(fd, buf, sizeof buf) == -EPROTO ? 0 : 1;
              }),
              0)
        << readFile(dir / "child.err");
}

unsigned noSpaceSleeps = 0;

TEST_F(KylgwdMovers, BlockWritesOfAStorageSystemFileRetryNoSpaceAndIoErrors)
{
    // The archiver's block writer meets sequential writes that fail with
    // -28 (it waits, here without sleeping, and tries again) or -5 (tried
    // again at once) and still writes every byte once.
    struct Row {
        std::string fault;
        unsigned sleeps;
        std::string message;
    };
    const Row rows[] = {
        {"enospc_write=2", 2, "velk_BlockWrite: NO SPACE writing to QUOR-resident file: /home/demo/blk -delaying"},
        {"seq_eio=1", 0, "velk_BlockWrite: Recovered I/O error writing QUOR-resident file: /home/demo/blk\n"},
    };
    const std::string data = pattern(3000, 5);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        int code = inChild(row.fault + "\n", [&] {
            velk_env_t env = velk_Env();
            env.nospaceSleep = [](unsigned) { noSpaceSleeps++; };
            velk_SetEnv(&env);
            int fd = quor_Open("/home/demo/blk", O_RDWR | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
            if (fd < 0)
                return 10;
            int n = velk_BlockWrite(fd, "/home/demo/blk", VELK_QUOR_FILE, static_cast<int>(data.size()), data.data());
            return n == static_cast<int>(data.size()) ? 20 + static_cast<int>(noSpaceSleeps) : 11;
        });
        const std::string said = readFile(dir / "child.out") + readFile(dir / "child.err");
        EXPECT_EQ(code, 20 + static_cast<int>(row.sleeps)) << said;
        EXPECT_NE(said.find(row.message), std::string::npos) << said;
        EXPECT_TRUE(readFile(home() + "/blk") == data);
    }
}

} // namespace
