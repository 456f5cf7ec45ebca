// Test-only helpers; see velk_testsupport.h.

#include "velk_testsupport.h"

#include "kyl_fd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace velktest {

namespace fs = std::filesystem;

ScratchDir::ScratchDir()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (auto &c : name)
        if (c == '/')
            c = '_';
    fs::create_directories(VELK_TEST_SCRATCH);
    std::string tmpl = std::string(VELK_TEST_SCRATCH) + "/" + name + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
    path_ = buf.data();
}

ScratchDir::~ScratchDir()
{
    // Outside a test (a test environment's directory) any failure keeps it.
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info ? info->result()->Failed() : ::testing::UnitTest::GetInstance()->Failed()) {
        fprintf(stderr, "scratch directory kept: %s\n", path_.c_str());
        return;
    }
    std::error_code ec;
    // Make read-only directories removable first.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(path_, ec);
}

std::vector<std::string> environmentOf(const RunOptions &opts)
{
    std::map<std::string, std::string> envMap;
    if (opts.inheritEnv) {
        for (char **e = environ; *e; e++) {
            std::string kv = *e;
            auto eq = kv.find('=');
            if (eq != std::string::npos)
                envMap[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    } else {
        const char *path = getenv("PATH");
        envMap["PATH"] = path ? path : "/usr/bin:/bin";
        envMap["LANG"] = "C";
    }
    for (const auto &[k, v] : opts.env) {
        if (v.empty())
            envMap.erase(k);
        else
            envMap[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto &[k, v] : envMap)
        envStrings.push_back(k + "=" + v);
    return envStrings;
}

// Prints the threads' stacks of a program that overran its time to the
// test's standard error, where gdb is installed: a hang seen once in a
// loaded run is then diagnosable from the log alone.
void dumpStacks(pid_t pid)
{
    if (access("/usr/bin/gdb", X_OK) != 0)
        return;
    fprintf(stderr, "--- stacks of pid %d, which overran its time ---\n", static_cast<int>(pid));
    const std::string cmd = "timeout 60 /usr/bin/gdb -nx -batch -p " + std::to_string(pid) +
                            " -ex 'thread apply all bt' </dev/null 1>&2 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        fprintf(stderr, "--- gdb could not show them ---\n");
}

RunResult run(const std::vector<std::string> &argv, const RunOptions &opts)
{
    RunResult r;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envStrings = environmentOf(opts);
    std::vector<char *> envp, args;
    for (auto &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto &s : argCopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Own process group, so a timeout kills the whole tree; no
        // controlling terminal input.
        setpgid(0, 0);
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        signal(SIGPIPE, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    // Feed standard input from a writer thread-free loop: input is small.
    kyl_fd in(inPipe[1]), out(outPipe[0]), err(errPipe[0]);
    size_t inOff = 0;
    if (opts.input.empty())
        in.reset();
    else
        fcntl(in.get(), F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(opts.timeoutSeconds);
    while (out.valid() || err.valid()) {
        struct pollfd pfd[3];
        int n = 0;
        for (const kyl_fd *f : {&out, &err})
            if (f->valid())
                pfd[n++] = {f->get(), POLLIN, 0};
        if (in.valid())
            pfd[n++] = {in.get(), POLLOUT, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            dumpStacks(pid);
            kill(-pid, SIGKILL);
            break;
        }
        int rc = poll(pfd, static_cast<nfds_t>(n), static_cast<int>(std::min<long>(left.count(), 1000)));
        if (rc < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (pfd[i].revents == 0)
                continue;
            if (pfd[i].fd == in.get()) {
                ssize_t w = write(in.get(), opts.input.data() + inOff, opts.input.size() - inOff);
                if (w > 0)
                    inOff += static_cast<size_t>(w);
                if (w < 0 || inOff == opts.input.size())
                    in.reset();
                continue;
            }
            char buf[65536];
            ssize_t got = read(pfd[i].fd, buf, sizeof buf);
            bool isOut = pfd[i].fd == out.get();
            if (got > 0)
                (isOut ? r.out : r.err).append(buf, static_cast<size_t>(got));
            else
                (isOut ? out : err).reset();
        }
    }
    in.reset(), out.reset(), err.reset(); // before the wait: a writer blocked on a full pipe ends
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
    }
    return r;
}

RunResult runVelk(const std::vector<std::string> &args, const RunOptions &opts)
{
    std::vector<std::string> argv{VELK_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, opts);
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string bytesOf(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xff);
    }
    return s;
}

std::vector<std::string> fuzzCorpusFiles(const char *target)
{
    // An absolute path: the program may run from any directory, and the
    // compiler may have been given this file by a relative name.
    fs::path dir = fs::path(VELK_FUZZ_CORPUS) / target;
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file())
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

const char *velkBinary()
{
    return VELK_BINARY;
}

const char *kylgwdBinary()
{
    return KYLGWD_BINARY;
}

std::string failedEnding(int status)
{
    return "VELK: run failed; exit status " + std::to_string(status) + "\nVELK: VELK FAILED\n";
}

std::string treeOf(const std::string &root)
{
    std::vector<std::string> items;
    for (const auto &e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        std::string item = fs::relative(e.path(), root).string() + " " + std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode))
            item += " -> " + fs::read_symlink(e.path()).string();
        else
            item += " " + std::to_string(st.st_mtime) + (S_ISREG(st.st_mode) ? " " + readFile(e.path()) : "");
        items.push_back(item);
    }
    std::sort(items.begin(), items.end());
    std::string all;
    for (const auto &i : items)
        all += i + "\n";
    return all;
}

int freePorts(int n)
{
    for (int tries = 0; tries < 50; tries++) {
        std::vector<kyl_fd> held;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t len = sizeof a;
        held.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (bind(held[0].get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(held[0].get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
            continue;
        const int first = ntohs(a.sin_port);
        bool ok = first + n - 1 <= 65535;
        for (int i = 1; ok && i < n; i++) {
            held.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            a.sin_port = htons(static_cast<uint16_t>(first + i));
            ok = bind(held.back().get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        }
        if (ok)
            return first;
    }
    return 0;
}

} // namespace velktest
