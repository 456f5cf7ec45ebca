// The archiver's side of the gateway local-file transfer against the real
// kylgwd, each scenario in a forked child with a session of its own: the
// inline/connection boundary and the kept connection (event log), whole
// buffers in order for a callback receive, kylgwd's transfer faults ending
// in failure with nothing kept, the completion taken by its own request id
// past another reply, and the index placed on the gateway host.
#include "velk_gwsession.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <kyl_fd.h>
#include <kylgw_mvrio.h>
#include <poll.h>
#include <quor_api.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_Lfx.h"

namespace {

// The run's default transfer settings, with bufSize bytes per buffer.
velk_xfer_settings_t transferSettings(int bufSize = 8388608)
{
    velk_run_t run;
    velk_RunInit(&run);
    run.xfer.iobufsize = bufSize;
    return run.xfer;
}
const velk_xfer_settings_t kSettings = transferSettings();

using velktest::bytesOf;
using velktest::readFile;

constexpr uint64_t kSmall = 4194304;

class VelkLfx : public velktest::VelkGatewayTest {
protected:
    // Writes data to a local file in the scratch directory; its descriptor.
    int localFile(const std::string &name, const std::string &data)
    {
        velktest::writeFile(dir / name, data);
        return open((dir / name).c_str(), O_RDWR);
    }
    int send(const std::string &name, const std::string &remote, uint64_t len)
    {
        kyl_fd fd(open((dir / name).c_str(), O_RDONLY));
        return velk_LfxSendFile(RMTIO_FILE, nullptr, &kSettings, fd.get(), (dir / name).c_str(), remote.c_str(), 0, 0, len,
                                nullptr);
    }
    size_t lfxEvents(const std::string &needle)
    {
        size_t n = 0;
        for (const std::string &l : velktest::lines(readFile(dir / "events")))
            n += l.find("\"event\":\"lfx\"") != std::string::npos && l.find(needle) != std::string::npos;
        return n;
    }
};

TEST_F(VelkLfx, SmallFilesTravelInlineLargerOnesOverAKeptConnection)
{
    const std::string atLimit = bytesOf(kSmall, 1), above = bytesOf(kSmall + 1, 2);
    int code = inChild([&] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        close(localFile("a", atLimit));
        close(localFile("b", above));
        if (send("a", "/home/demo/a", kSmall) != 0 || send("b", "/home/demo/b", kSmall + 1) != 0)
            return 10;
        if (velk_LfxPooledConnections() != 1)
            return 11;
        // The receive reuses the connection the send left.
        kyl_fd out(open((dir / "back").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        if (velk_LfxReceiveFile(RMTIO_FILE, nullptr, &kSettings, out.get(), (dir / "back").c_str(), -1, "/home/demo/b", 0, 0,
                                kSmall + 1, nullptr, nullptr) != 0)
            return 20;
        return velk_LfxPooledConnections() == 1 ? 0 : 21;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
    EXPECT_TRUE(readFile(home() + "/a") == atLimit);
    EXPECT_TRUE(readFile(home() + "/b") == above);
    EXPECT_TRUE(readFile(dir / "back") == above);
    EXPECT_EQ(lfxEvents("\"mode\":\"inline\""), 1u);
    EXPECT_EQ(lfxEvents("\"pooled\":0,\"pool\":1,\"bytes\":4194305,\"status\":0"), 1u);
    EXPECT_EQ(lfxEvents("\"pooled\":1,\"pool\":1,\"bytes\":4194305,\"status\":0"), 1u);
}

struct Piece {
    uint32_t length;
    uint64_t offset;
    std::string bytes;
};

int collect(io_buffer_t *b, void *arg)
{
    static_cast<std::vector<Piece> *>(arg)->push_back(
        {b->dataLength, b->fileOffset, std::string(reinterpret_cast<char *>(b->buffer), b->dataLength)});
    return 0;
}

TEST_F(VelkLfx, CallbackReceiveHandsWholeBuffersInOrder)
{
    // A buffer size that is no multiple of 512 is rounded up to one.
    constexpr uint32_t kBuf = 600064;
    const std::string file = bytesOf(3 * kBuf + 5000, 3);
    velktest::writeFile(home() + "/arch", file);
    const uint64_t start = 1024, len = 3 * kBuf + 1000;
    int code = inChild([&] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        const velk_xfer_settings_t xs = transferSettings(600000);
        std::vector<Piece> got;
        if (velk_LfxReceiveFile(RMTIO_CALLBACK, nullptr, &xs, -1, nullptr, -1, "/home/demo/arch", start, start, len,
                                collect, &got) != 0)
            return 10;
        std::string all;
        for (size_t i = 0; i < got.size(); i++) {
            if (got[i].offset != start + all.size() || got[i].length != (i + 1 < got.size() ? kBuf : 1000u))
                return 20 + static_cast<int>(i);
            all += got[i].bytes;
        }
        if (got.size() != 4 || all != file.substr(start, len))
            return 30;
        // A callback that stops the transfer fails it; nothing is kept and
        // the session goes on.
        auto stopAtSecond = [](io_buffer_t *, void *arg) { return ++*static_cast<int *>(arg) == 2 ? -1 : 0; };
        int calls = 0;
        lfx_Stat_rply_t st{};
        if (velk_LfxReceiveFile(RMTIO_CALLBACK, nullptr, &xs, -1, nullptr, -1, "/home/demo/arch", 0, 0, file.size(),
                                stopAtSecond, &calls) >= 0 ||
            calls != 2 || velk_LfxPooledConnections() != 0)
            return 40;
        return kylgw_LfxStat("/home/demo/arch", &st) == 0 && st.hst_size == file.size() ? 0 : 41;
    });
    EXPECT_EQ(code, 0) << readFile(dir / "child.err");
}

TEST_F(VelkLfx, GatewayFaultsFailTheTransferAndKeepNoConnection)
{
    struct Case {
        const char *faults;
        bool receive;
        int expected; // 0: any failure
        const char *stderrText;
    };
    const Case cases[] = {
        {"lfx_noconnect", false, -ETIMEDOUT, ""},
        {"lfx_close_early", false, 0, ""},
        {"lfx_close_early", true, 0, ""},
        {"lfx_status=-5", true, -5, "reports error -5"},
        {"lfx_bytes=10", false, -EIO, "moved 10 bytes"},
        {"lfx_pool_unknown", true, 0, ""},
        {"mover_src=127.0.0.2", false, -ETIMEDOUT, "data connection refused from 127.0.0.2"},
    };
    const std::string data = bytesOf(kSmall + 4096, 4);
    velktest::writeFile(home() + "/src", data);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.faults);
        velktest::writeFile(dir / "faults", std::string(c.faults) + "\n");
        int code = inChild([&] {
            setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
            setenv("VELK_LFX_ACCEPT_TIMEOUT", "2", 1);
            close(localFile("data", data));
            kyl_fd out(open((dir / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
            auto transfer = [&] {
                return c.receive ? velk_LfxReceiveFile(RMTIO_FILE, nullptr, &kSettings, out.get(), nullptr, -1, "/home/demo/src",
                                                       0, 0, data.size(), nullptr, nullptr)
                                 : send("data", "/home/demo/dst", data.size());
            };
            // A kept connection is needed before the gateway can disown it.
            if (std::string(c.faults) == "lfx_pool_unknown" && (transfer() != 0 || velk_LfxPooledConnections() != 1))
                return 5;
            int rc = transfer();
            if (rc >= 0 || (c.expected != 0 && rc != c.expected))
                return 10;
            if (velk_LfxPooledConnections() != 0)
                return 11;
            // The session still answers: no reply is left in the way.
            lfx_Stat_rply_t st{};
            return quor_Logmsg(0, 0x2000000, "after the failed transfer") == 0 &&
                           kylgw_LfxStat("/home/demo/src", &st) == 0 && st.hst_size == data.size()
                       ? 0
                       : 12;
        });
        EXPECT_EQ(code, 0) << readFile(dir / "child.err");
        EXPECT_NE(readFile(dir / "child.err").find(c.stderrText), std::string::npos) << readFile(dir / "child.err");
    }
}

TEST_F(VelkLfx, CompletionIsTakenByItsOwnRequestAfterAnotherReply)
{
    const std::string data = bytesOf(1 << 20, 5);
    int code = inChild([&] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        int lfd = -1;
        quor_sockaddr_t a{};
        if (quor_MoverListen(&lfd, &a) != 0)
            return 1;
        kyl_fd listener(lfd);
        kyl_sockaddr_info_t addr{};
        addr.addressType = LFX_ADDR_LISTEN;
        addr.poolID = 9;
        addr.socketAddr = a;
        kyl_xfer_init_info_t info{};
        info.xferOperation = LFX_OP_SEND;
        snprintf(info.pathName, sizeof info.pathName, "/home/demo/own");
        info.xferLength = data.size();
        info.mode = 0644;
        info.addressCount = 1;
        info.addressList = &addr;
        kyl_xfer_init_reply_t reply{};
        if (kylgw_LfxInit(-1, &info, &reply) != 0)
            return 10;
        pollfd p{lfd, POLLIN, 0};
        kyl_fd s(poll(&p, 1, 30000) == 1 ? accept(lfd, nullptr, nullptr) : -1);
        if (s.get() < 0 || quor_send_data(s.get(), data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            return 11;
        // The completion comes before this request's reply.
        if (quor_Logmsg(0, 0x2000000, "between the transfer and its completion") != 0)
            return 12;
        kyl_xfer_complete_t done{};
        return kylgw_LfxGetXferReply(&done) == 0 && done.bytesXferred == data.size() ? 0 : 13;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err");
    EXPECT_TRUE(readFile(home() + "/own") == data);
}

// A file-system gateway (run mode 2), where gateway-host archives live.
class VelkLfxFsGateway : public VelkLfx {
protected:
    void SetUp() override { ASSERT_TRUE(startGateway("Site = {\n    server_runmode = 2\n}\n")); }
};

TEST_F(VelkLfxFsGateway, IndexIsPlacedWholeOrNotAtAllAndReadBack)
{
    velktest::writeFile(home() + "/a.idx", "the old index");
    for (const char *faults : {"lfx_status=-5", ""}) {
        SCOPED_TRACE(faults);
        velktest::writeFile(dir / "faults", std::string(faults) + "\n");
        int code = inChild([&] {
            velk_filetype = VELK_REMOTE_FILE;
            velk_index_filename = strdup("/home/demo/a.idx");
            velk_index_entries = 0;
            velk_run_t run;
            velk_RunInit(&run);
            velk_index_t *index = &run.index;
            if (velk_CreateTmpIndexFile(index) != 0)
                return 1;
            velk_BuildIndexHeader(index);
            if (velk_WriteIndexHeader(index->tmpFd, VELK_LOCAL_FILE, index->tmpName, &velk_index_hdr) != 0)
                return 2;
            int rc = velk_CopyIndexToRemote(&kSettings, index);
            if (*faults != '\0')
                return rc == -1 ? 0 : 3;
            int fd = rc == 0 ? velk_OpenIndexFile(&kSettings, index, "/home/demo/a.idx", O_RDONLY, VELK_REMOTE_FILE) : -1;
            return fd >= 0 && velk_index_entries == 0 ? 0 : 4;
        });
        ASSERT_EQ(code, 0) << readFile(dir / "child.err");
        // Only the complete index replaced the old one; no temporary is left.
        const std::string now = readFile(home() + "/a.idx");
        EXPECT_EQ(now.size() == HIF_HDR_SIZE && now.compare(0, 9, "VelkIndex") == 0, *faults == '\0') << now;
        for (const std::string &l : velktest::lines(velktest::run({"/bin/ls", "-a", home()}).out))
            EXPECT_EQ(l.find(".velk-"), std::string::npos) << l;
    }
}

} // namespace
