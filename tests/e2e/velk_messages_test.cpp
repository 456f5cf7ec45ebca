// The lines that follow an error showing only a number, against a real
// kylgwd: the common failures a person meets (a missing archive or index,
// a directory velk may not write, a keytab that is missing, open to others
// or refused, a gateway port nobody listens on) each name the object, the
// reason in words and what to do, on the line right after the number.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kyl_fd.h"
#include "velk_gwsession.h"

namespace {

using velktest::exists;
using velktest::writeFile;

class VelkMessages : public velktest::VelkGatewayTest {
protected:
    // A loopback port that is bound but not listening: a connect to it is
    // refused for as long as the socket stays open.
    int refusingPort()
    {
        refuser_ = kyl_fd(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (!refuser_.valid() || bind(refuser_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            getsockname(refuser_.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return -1;
        return ntohs(sa.sin_port);
    }

private:
    kyl_fd refuser_;
};

// The index of the first line of text that contains part, or -1.
long lineWith(const std::vector<std::string> &text, const std::string &part)
{
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i].find(part) != std::string::npos)
            return static_cast<long>(i);
    return -1;
}

TEST_F(VelkMessages, ANumberIsFollowedByWhatItMeansAndWhatToDo)
{
    writeFile(dir / "f", "data\n");
    ASSERT_EQ(velk({"-c", "-E", "-f", "a.tar", "f"}).status, 0);
    ASSERT_EQ(velk({"-c", "-E", "-f", "noidx.tar", "f"}).status, 0);
    ASSERT_EQ(unlink((dir / "noidx.tar.idx").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "ro").c_str(), 0555), 0);
    ASSERT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
    writeFile(dir / "open.kt", "keytab bytes of demo");
    ASSERT_EQ(chmod((dir / "open.kt").c_str(), 0644), 0);
    writeFile(dir / "wrong.kt", "not demo's keytab");
    ASSERT_EQ(chmod((dir / "wrong.kt").c_str(), 0600), 0);
    const int port = refusingPort();
    ASSERT_GT(port, 0);

    const std::string indexAdvice =
        "check the archive name given with -f; an archive whose index is lost gets a new one with -X";
    const std::string keytabAdvice = "set QUOR_KEYTAB_PATH to your readable keytab file";
    const std::string extractAdvice =
        "members are extracted below the working directory (or -C DIR), which must be writable";
    struct Row {
        const char *what;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        bool needsNoWrite; // the directory ro must refuse writes: not as root
        int status;
        std::string failing, followUp; // a line containing failing, then followUp itself
    } rows[] = {
        {"missing archive", {"-t", "-f", "nosuch.tar"}, {}, false, 72,
         "FATAL: error 2 getting attributes for local index file nosuch.tar.idx",
         "ERROR: nosuch.tar.idx: No such file or directory; " + indexAdvice},
        {"missing index", {"-x", "-f", "noidx.tar"}, {}, false, 72,
         "FATAL: error 2 getting attributes for local index file noidx.tar.idx",
         "ERROR: noidx.tar.idx: No such file or directory; " + indexAdvice},
        {"unwritable archive directory", {"-c", "-f", "ro/b.tar", "f"}, {}, true, 72,
         "ERROR: Error 13 creating temporary index file ro/velk_",
         ": Permission denied; the index is first written in the archive's directory (or TMPDIR): it must exist and "
         "be writable"},
        {"unwritable extract directory", {"-x", "-C", "ro", "-f", dir / "a.tar"}, {}, true, 72,
         "ERROR: Cannot create f (error=13)", "ERROR: f: Permission denied; " + extractAdvice},
        {"missing keytab", {"-t", "-f", "a.tar"}, {{"QUOR_KEYTAB_PATH", dir / "nosuch.kt"}}, false, 71,
         "result = -2, errno = ", "keytab file " + (dir / "nosuch.kt") + ": No such file or directory; " + keytabAdvice},
        {"keytab open to others", {"-t", "-f", "a.tar"}, {{"QUOR_KEYTAB_PATH", dir / "open.kt"}}, false, 71,
         "result = -10003, errno = ",
         "keytab file " + (dir / "open.kt") +
             ": Operation not permitted; make it readable by its owner only (chmod 600)"},
        {"refused keytab", {"-t", "-f", "a.tar"}, {{"QUOR_KEYTAB_PATH", dir / "wrong.kt"}}, false, 71,
         "result = -10003, errno = ",
         "the gateway refused the login; check the user name (QUOR_PRINCIPAL) and the password, or the keytab file "
         "(QUOR_KEYTAB_PATH)"},
        {"wrong gateway port", {"-t", "-f", "a.tar"}, {{"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(port)}},
         false, 71, "Unable to setup communication to QUOR...",
         "cannot reach the gateway at 127.0.0.1:" + std::to_string(port) +
             " (Connection refused); is kylgwd running? QUOR_SERVER_HOST selects another"},
    };
    const bool root = geteuid() == 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = row.args;
        args.insert(args.begin() + 1, "-E");
        velktest::RunResult r;
        if (row.needsNoWrite && root) {
            // Root writes anywhere: run as nobody, who may read the scratch
            // directory but not write ro (and has no keytab: no gateway).
            if (!exists("/usr/bin/setpriv")) {
                ADD_FAILURE() << "setpriv is needed to run velk as another user";
                continue;
            }
            ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                       velktest::velkBinary(), "--no-gateway"});
            r = velktest::run(args, velkOptions());
        } else {
            r = velk(args, row.env);
        }
        EXPECT_EQ(r.status, row.status) << r.err;
        const auto err = velktest::lines(r.err);
        const long at = lineWith(err, row.failing);
        ASSERT_GE(at, 0) << r.err;
        ASSERT_LT(static_cast<size_t>(at + 1), err.size()) << r.err;
        EXPECT_NE(err[static_cast<size_t>(at) + 1].find(row.followUp), std::string::npos) << r.err;
        // Source positions stay out of what a person reads.
        EXPECT_EQ(r.err.find(".cpp"), std::string::npos) << r.err;
    }
}

} // namespace
