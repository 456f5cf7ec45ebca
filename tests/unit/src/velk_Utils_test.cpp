// Path templates, and the yes/no prompt without a terminal and on a real
// pseudo-terminal where the test plays the user.

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "velk_Utils.h"
#include "velk_unit_fixture.h"

namespace {

std::string expand(const char *tmpl, const char *home = nullptr, const char *user = nullptr)
{
    char *r = velk_ExpandTemplatePath(tmpl, home, user);
    std::string s = r ? r : "<null>";
    VELK_FREE(r);
    return s;
}

TEST(Utils, ExpandTemplatePath)
{
    struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string pid = std::to_string(getpid()), shortHost = std::string(host).substr(0, std::string(host).find('.'));
    const int cap = VELK_TEMPLATE_MAX;
    struct Case {
        std::string tmpl;
        const char *home, *user;
        std::string want;
    } cases[] = {
        {"/tmp/ok.%U.%P", nullptr, nullptr, "/tmp/ok." + std::string(pw->pw_name) + "." + pid},
        {"%H/.velk/%N-%P", nullptr, nullptr, std::string(pw->pw_dir) + "/.velk/" + shortHost + "-" + pid},
        {"%H/x/%U/%U", "/home/given", "bob", "/home/given/x/bob/bob"},  // given values win
        {"no templates at all", nullptr, nullptr, "no templates at all"},
        {"", nullptr, nullptr, ""},
        {"a%xb%%c%u%h%p%n", "/h", "u", "a%xb%%c%u%h%p%n"},  // other sequences are copied
        {"/tmp/100%", "/h", "u", "/tmp/100%"},
        {"%%U", "/h", "u", "%%U"},
        // The result is cut at the cap, also inside an expansion.
        {std::string(cap + 100, 'a'), nullptr, nullptr, std::string(cap, 'a')},
        {std::string(cap - 3, 'b') + "%H/tail", "/home/somebody", "u", std::string(cap - 3, 'b') + "/ho"},
        {std::string(cap - 1, 'c') + "%U", "/h", "z", std::string(cap - 1, 'c') + "z"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(expand(c.tmpl.c_str(), c.home, c.user), c.want) << c.tmpl.substr(0, 40);
    EXPECT_EQ(expand(nullptr), "<null>");
}

// Runs ask() in a child whose controlling terminal is a new pseudo-terminal
// (echo off) and types each answer after the prompt's next appearance;
// returns the child's exit status, or -1.
int answerOnATerminal(int (*ask)(), const std::string &prompt, const std::vector<std::string> &answers)
{
    int master = -1;
    fflush(nullptr);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        struct termios tio;
        if (tcgetattr(STDIN_FILENO, &tio) == 0) {
            tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);  // the output holds the prompts alone
            tcsetattr(STDIN_FILENO, TCSANOW, &tio);
        }
        _exit(ask());
    }
    if (pid < 0)
        return -1;
    std::string out;
    for (size_t typed = 0; typed < answers.size();) {
        size_t seen = 0;
        for (size_t at = out.find(prompt); at != std::string::npos; at = out.find(prompt, at + 1))
            seen++;
        struct pollfd p = {master, POLLIN, 0};
        char buf[512];
        ssize_t n = 0;
        if (seen > typed) {
            const std::string &a = answers[typed++];
            EXPECT_EQ(write(master, a.data(), a.size()), static_cast<ssize_t>(a.size()));
        } else if (poll(&p, 1, 20000) > 0 && (n = read(master, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else {
            ADD_FAILURE() << "prompt " << typed + 1 << " missing; got [" << out << "]";
            kill(pid, SIGKILL);
            break;
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    close(master);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int askFull() { return velk_GetYesNo("extract", nullptr, "dir/file"); }
int askYesNo() { return velk_GetYesNo("[build index]", "Overwrite existing index file", "/a/b.idx"); }

TEST(Utils, GetYesNoTakesTheFirstCharacterOfAnAcceptedAnswer)
{
    const std::string full = "extract 'dir/file'? ([Y]es,[N]o,[A]ll,[Q]uit) ";
    const std::string yesNo = "[build index] Overwrite existing index file '/a/b.idx'? [Y/N] ";
    struct Case {
        int (*ask)();
        const std::string &prompt;
        std::vector<std::string> answers;  // typed after successive prompts
        int want;
    } cases[] = {
        {askFull, full, {"yes please\n"}, VELK_ANSWER_YES},
        {askFull, full, {"N\n"}, VELK_ANSWER_NO},
        {askFull, full, {"all\n"}, VELK_ANSWER_ALL},
        {askFull, full, {"Quit\n"}, VELK_ANSWER_QUIT},
        {askFull, full, {"maybe\n", "\n", "a\n"}, VELK_ANSWER_ALL},  // others ask again
        {askYesNo, yesNo, {"a\n", "q\n", "no\n"}, VELK_ANSWER_NO},   // with a question: Y and N only
        {askYesNo, yesNo, {"Y\n"}, VELK_ANSWER_YES},
        {askYesNo, yesNo, {"x\n", "\x04"}, VELK_ANSWER_YES},  // end of input counts as yes
    };
    for (const Case &c : cases)
        EXPECT_EQ(answerOnATerminal(c.ask, c.prompt, c.answers), c.want) << c.answers.front();

    // Without a terminal the answer is yes.
    velktest::ScratchDir dir;
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(dir / "out", dir / "err"))
            return 100;
        setsid();
        return askFull();
    });
    EXPECT_TRUE(velktest::exitsWith(child, VELK_ANSWER_YES));
    EXPECT_EQ(velktest::readFile(dir / "err"),
              "WARNING: velk_GetYesNo:  error opening control terminal - assuming YES response\n");
}

} // namespace
