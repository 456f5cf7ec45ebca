// Path templates, the yes/no prompt (without a terminal and on a real
// pseudo-terminal), permission conversion, time differences and the action
// and checksum names.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <ostream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_Memory.h"
#include "velk_Utils.h"
#include "velk_testproc.h"

namespace {

// Expands and frees; "<null>" stands for a null result.
std::string expand(const char *tmpl, const char *home = nullptr, const char *user = nullptr)
{
    char *r = velk_ExpandTemplatePath(tmpl, home, user);
    if (r == nullptr)
        return "<null>";
    std::string s(r);
    VELK_FREE(r);
    return s;
}

std::string my_login()
{
    struct passwd *pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "";
}

std::string my_home()
{
    struct passwd *pw = getpwuid(geteuid());
    return pw ? pw->pw_dir : "";
}

std::string short_host()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "unknown_host";
    std::string h(host);
    return h.substr(0, h.find('.'));
}

TEST(ExpandTemplatePath, ReplacesEveryTemplateLetter)
{
    std::string pid = std::to_string(getpid());
    ASSERT_FALSE(my_login().empty());
    EXPECT_EQ(expand("/tmp/ok.%U.%P"), "/tmp/ok." + my_login() + "." + pid);
    EXPECT_EQ(expand("%H/.velk/%N-%P"), my_home() + "/.velk/" + short_host() + "-" + pid);
    // Values given by the caller take the place of the password entry.
    EXPECT_EQ(expand("%H/x/%U/%U", "/home/given", "bob"), "/home/given/x/bob/bob");
    EXPECT_EQ(expand("no templates at all"), "no templates at all");
    EXPECT_EQ(expand(""), "");
    EXPECT_EQ(expand(nullptr), "<null>");
}

TEST(ExpandTemplatePath, OtherPercentSequencesAreCopied)
{
    EXPECT_EQ(expand("a%xb%%c%u%h%p%n", "/h", "u"), "a%xb%%c%u%h%p%n");
    // A "%" that ends the template stays too.
    EXPECT_EQ(expand("/tmp/100%", "/h", "u"), "/tmp/100%");
    EXPECT_EQ(expand("%%U", "/h", "u"), "%%U");
}

TEST(ExpandTemplatePath, ResultIsCutAtTheCap)
{
    // The template itself too long.
    std::string longTmpl(VELK_TEMPLATE_MAX + 100, 'a');
    EXPECT_EQ(expand(longTmpl.c_str()), std::string(VELK_TEMPLATE_MAX, 'a'));

    // An expansion that crosses the cap: only what fits is kept.
    std::string tmpl = std::string(VELK_TEMPLATE_MAX - 3, 'b') + "%H/tail";
    std::string got = expand(tmpl.c_str(), "/home/somebody", "u");
    ASSERT_EQ(got.size(), static_cast<size_t>(VELK_TEMPLATE_MAX));
    EXPECT_EQ(got, std::string(VELK_TEMPLATE_MAX - 3, 'b') + "/ho");

    // Exactly at the cap: nothing lost.
    std::string exact = std::string(VELK_TEMPLATE_MAX - 1, 'c') + "%U";
    EXPECT_EQ(expand(exact.c_str(), "/h", "z"), std::string(VELK_TEMPLATE_MAX - 1, 'c') + "z");
}

TEST(ExpandTemplatePath, DebugLineAtLevelOne)
{
    int saved = velk_debug_level;
    {
        velktest::StreamCapture cap(STDERR_FILENO);
        velk_debug_level = 0;
        EXPECT_EQ(expand("/x/%U", "/h", "me"), "/x/me");
        EXPECT_EQ(cap.text(), "");
    }
    {
        velktest::StreamCapture cap(STDERR_FILENO);
        velk_debug_level = 1;
        EXPECT_EQ(expand("/x/%U", "/h", "me"), "/x/me");
        velk_debug_level = saved;
        EXPECT_EQ(cap.text(), "velk_ExpandTemplatePath: returning keytab filename `/x/me'\n");
    }
    velk_debug_level = saved;
}

// Result of a child process: its exit status and what it wrote to standard
// error.
struct ChildResult {
    int status = -1;
    std::string err;
};

// Runs fn in a child with no controlling terminal (a new session) and its
// standard output and error on a pipe.
template <typename Fn>
ChildResult run_without_terminal(Fn fn)
{
    ChildResult r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    velktest::ForkedChild child([&] {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        setsid();
        return fn();
    });
    close(fds[1]);
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int st = 0;
    if (child.wait(&st))
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(GetYesNo, WithoutATerminalTheAnswerIsYes)
{
    ChildResult r = run_without_terminal([] { return velk_GetYesNo("extract", nullptr, "dir/file"); });
    EXPECT_EQ(r.status, VELK_ANSWER_YES);
    EXPECT_EQ(r.err, "WARNING: velk_GetYesNo:  error opening control terminal - assuming YES response\n");
}

// A child whose controlling terminal is a fresh pseudo-terminal; the test
// plays the user on the master side.
class PtyChild {
public:
    template <typename Fn>
    bool start(Fn fn)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        const char *slaveName = ptsname(master_);
        if (slaveName == nullptr)
            return false;
        std::string slave(slaveName);
        fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            close(master_);
            setsid();
            int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0)
                _exit(100);
            // Canonical input without echo keeps the master's output to the
            // prompts alone.
            struct termios tio;
            if (tcgetattr(fd, &tio) == 0) {
                tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
                tcsetattr(fd, TCSANOW, &tio);
            }
            dup2(fd, STDERR_FILENO);
            if (fd != STDERR_FILENO)
                close(fd);
            _exit(fn());
        }
        return true;
    }

    ~PtyChild()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    // Reads from the terminal until text has appeared `count` times in all
    // output so far; false when the child stops writing first.
    bool wait_for(const std::string &text, int count)
    {
        while (occurrences(text) < count) {
            struct pollfd p = {master_, POLLIN, 0};
            // A generous bound that only keeps a broken build from hanging.
            if (poll(&p, 1, 20000) <= 0)
                return false;
            char buf[512];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                return false;
            out_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    void type(const std::string &text) { ASSERT_EQ(write(master_, text.data(), text.size()), (ssize_t)text.size()); }

    int exit_status()
    {
        int st = 0;
        if (waitpid(pid_, &st, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    const std::string &output() const { return out_; }

private:
    int occurrences(const std::string &text) const
    {
        int n = 0;
        for (size_t pos = out_.find(text); pos != std::string::npos; pos = out_.find(text, pos + text.size()))
            n++;
        return n;
    }
    int master_ = -1;
    pid_t pid_ = -1;
    std::string out_;
};

const char *const FULL_PROMPT = "extract 'dir/file'? ([Y]es,[N]o,[A]ll,[Q]uit) ";
const char *const YN_PROMPT = "[build index] Overwrite existing index file '/a/b.idx'? [Y/N] ";

int ask_full() { return velk_GetYesNo("extract", nullptr, "dir/file"); }
int ask_yn() { return velk_GetYesNo("[build index]", "Overwrite existing index file", "/a/b.idx"); }

struct Dialogue {
    int (*ask)();
    const char *prompt;
    std::vector<std::string> answers;  // typed after successive prompts
    int expected;
};

// Names the case in test output by what is typed, so test names stay stable.
void PrintTo(const Dialogue &d, std::ostream *os)
{
    for (const auto &a : d.answers)
        *os << '[' << a.substr(0, a.find('\n')) << ']';
}

class GetYesNoOnATerminal : public ::testing::TestWithParam<Dialogue> {};

TEST_P(GetYesNoOnATerminal, PromptsUntilAnAcceptedAnswer)
{
    const Dialogue &d = GetParam();
    PtyChild child;
    ASSERT_TRUE(child.start(d.ask)) << strerror(errno);
    for (size_t i = 0; i < d.answers.size(); i++) {
        ASSERT_TRUE(child.wait_for(d.prompt, static_cast<int>(i) + 1)) << "prompt " << i + 1 << " missing; got ["
                                                                        << child.output() << "]";
        child.type(d.answers[i]);
    }
    EXPECT_EQ(child.exit_status(), d.expected) << "output [" << child.output() << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, GetYesNoOnATerminal,
    ::testing::Values(
        // Only the first character counts, in either case.
        Dialogue{ask_full, FULL_PROMPT, {"yes please\n"}, VELK_ANSWER_YES},
        Dialogue{ask_full, FULL_PROMPT, {"N\n"}, VELK_ANSWER_NO},
        Dialogue{ask_full, FULL_PROMPT, {"all\n"}, VELK_ANSWER_ALL},
        Dialogue{ask_full, FULL_PROMPT, {"Quit\n"}, VELK_ANSWER_QUIT},
        // Other answers, empty lines included, ask again.
        Dialogue{ask_full, FULL_PROMPT, {"maybe\n", "\n", "a\n"}, VELK_ANSWER_ALL},
        // With a question, A and Q are not accepted.
        Dialogue{ask_yn, YN_PROMPT, {"a\n", "q\n", "no\n"}, VELK_ANSWER_NO},
        Dialogue{ask_yn, YN_PROMPT, {"Y\n"}, VELK_ANSWER_YES},
        // End of input (^D at the start of a line) counts as yes.
        Dialogue{ask_yn, YN_PROMPT, {"x\n", "\x04"}, VELK_ANSWER_YES}));

TEST(DiffTimeval, BorrowsFromTheSeconds)
{
    struct timeval a = {5, 100}, b = {3, 900000};
    EXPECT_DOUBLE_EQ(velk_DiffTimeval(&a, &b), 1.1001);
    EXPECT_DOUBLE_EQ(velk_DiffTimeval(&b, &a), -1.1001);
    struct timeval c = {10, 250000}, d = {10, 250000};
    EXPECT_DOUBLE_EQ(velk_DiffTimeval(&c, &d), 0.0);
    struct timeval e = {1700000000, 999999}, f = {1699999999, 0};
    EXPECT_DOUBLE_EQ(velk_DiffTimeval(&e, &f), 1.999999);
}

TEST(Names, ActionWords)
{
    const char *expected[] = {"NOFUNCTION", "ANNOTATE", "APPEND", "BUILDINDEX", "COMPARE",
                              "CMPCKSUMS",  "CREATE",   "COPY",   "DELETE",     "EXTRACT",
                              "LIST",       "REPACK",   "UNDELETE", "UPDATE",   "VERIFY"};
    EXPECT_STREQ(velk_FunctionToString(VOP_NOFUNCTION), "NOFUNCTION");
    EXPECT_STREQ(velk_FunctionToString(VOP_BUILD_INDEX), "BUILDINDEX");
    EXPECT_STREQ(velk_FunctionToString(VOP_COMPARE_CKSUMS), "CMPCKSUMS");
    EXPECT_STREQ(velk_FunctionToString(VOP_VERIFY), "VERIFY");
    for (int i = 0; i <= VOP_VERIFY; i++)
        EXPECT_STREQ(velk_FunctionToString(i), expected[i]) << i;
    EXPECT_STREQ(velk_FunctionToString(-1), "????????");
    EXPECT_STREQ(velk_FunctionToString(VOP_VERIFY + 1), "????????");
}

TEST(Names, ChecksumTypes)
{
    const char *expected[] = {"none", "sha1", "sha224", "sha256", "sha384",
                              "sha512", "md5", "crc32", "adler32", "ecma319"};
    for (int i = 0; i < 10; i++)
        EXPECT_STREQ(velk_CksumTypeToString(i), expected[i]) << i;
    EXPECT_EQ(velk_CksumTypeToString(10), nullptr);
    EXPECT_EQ(velk_CksumTypeToString(-1), nullptr);
}

} // namespace
