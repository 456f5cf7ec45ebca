#include "velk_gwsession.h"

#include <chrono>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velk_testproc.h"

namespace velktest {

::testing::AssertionResult VelkGatewayTest::startGateway(const std::string &extraConfig, const std::string &faults,
                                                         const std::string &extraUsers)
{
    writeFile(dir / "demo.kt", "keytab bytes of demo");
    writeFile(dir / "kylgwd.conf", "Users = {\n  demo = {\n    password = " + hashPassword("demo-password") +
                                       "\n    uid = " + std::to_string(getuid()) + "\n    gid = " +
                                       std::to_string(getgid()) + "\n    home = /home/demo\n    keytab = " +
                                       (dir / "demo.kt") + "\n  }\n" + extraUsers + "}\n" + extraConfig);
    writeFile(dir / "faults", faults);
    // A test may start the gateway again over the tree it already has.
    for (const std::string &d : {root(), root() + "/home", home()})
        if (mkdir(d.c_str(), 0755) != 0 && errno != EEXIST)
            return ::testing::AssertionFailure() << "cannot make " << d;
    if (chmod((dir / "demo.kt").c_str(), 0600) != 0)
        return ::testing::AssertionFailure() << "cannot make " << (dir / "demo.kt") << " private";
    return gw.start({"--config", dir / "kylgwd.conf", "--faults", dir / "faults", "--events", dir / "events"});
}

RunResult VelkGatewayTest::velk(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                                const std::string &input)
{
    return runVelk(args, velkOptions(env, input));
}

std::map<std::string, std::string> VelkGatewayTest::wholeEnv(const std::map<std::string, std::string> &env)
{
    std::map<std::string, std::string> e = velkOptions(env).env;
    std::erase_if(e, [](const auto &kv) { return kv.second.empty(); });
    e["PATH"] = "/usr/bin:/bin";
    for (const char *san : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = getenv(san))
            e[san] = v;
    return e;
}

std::vector<std::string> VelkGatewayTest::homeNames(const std::function<bool(const std::string &)> &keep) const
{
    std::vector<std::string> out;
    if (DIR *d = opendir(home().c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && keep(n))
                out.push_back(n);
        }
        closedir(d);
    }
    return out;
}

RunOptions VelkGatewayTest::velkOptions(const std::map<std::string, std::string> &env, const std::string &input)
{
    RunOptions o;
    o.env = {{"HOME", dir.path()},
             {"TZ", "UTC"},
             {"QUOR_CFG_FILE_PATH", dir.path()},
             {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(gw.port())},
             {"QUOR_HOSTNAME", "127.0.0.1"},
             {"QUOR_AUTH_METHOD", "keytab"},
             {"QUOR_PRINCIPAL", "demo"},
             {"QUOR_KEYTAB_PATH", dir / "demo.kt"}};
    for (const auto &[k, v] : env)
        o.env[k] = v;
    o.cwd = dir.path();
    o.input = input;
    return o;
}

PtyResult runOnPty(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                   const std::string &cwd, const std::vector<std::pair<std::string, std::string>> &dialogue,
                   const std::pair<std::string, int> &signalAt)
{
    PtyResult res;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        ADD_FAILURE() << "forkpty: " << strerror(errno);
        return res;
    }
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        clearenv();
        for (const auto &kv : env)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    // Only keeps a broken build from hanging the suite.
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    size_t next = 0, from = 0;
    bool signalled = false;
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        int rc = poll(&pfd, 1, msLeft(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0) {
            res.timedOut = true;
            dumpStacks(pid);
            kill(pid, SIGKILL);
            break;
        }
        char buf[4096];
        ssize_t got = read(master, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // EIO once the program and its children closed the terminal
        res.text.append(buf, static_cast<size_t>(got));
        while (next < dialogue.size()) {
            size_t at = res.text.find(dialogue[next].first, from);
            if (at == std::string::npos)
                break;
            from = at + dialogue[next].first.size();
            std::string answer = dialogue[next].second + "\n";
            if (write(master, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
                ADD_FAILURE() << "cannot answer on the terminal";
            next++;
        }
        if (next == dialogue.size() && signalAt.second != 0 && !signalled &&
            res.text.find(signalAt.first, from) != std::string::npos) {
            kill(pid, signalAt.second);
            signalled = true;
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    close(master);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    EXPECT_EQ(next, dialogue.size()) << "the program did not ask for every answer:\n" << res.text;
    return res;
}

int VelkGatewayTest::inChild(const std::function<int()> &scenario, int seconds)
{
    const auto env = velkOptions().env;
    ForkedChild child([&] {
        for (const auto &[k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        if (!redirectOutputToFiles(dir / "child.out", dir / "child.err"))
            return 120;
        return scenario();
    });
    int status = 0;
    EXPECT_TRUE(child.wait(&status, std::chrono::seconds(seconds))) << "the child hung";
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace velktest
