#ifndef VELK_TESTSUPPORT_H
#define VELK_TESTSUPPORT_H

// Test-only helpers: per-test scratch directories (kept when the test fails),
// running a program with its own environment and capturing its output, and
// small file utilities.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velktest {

// A scratch directory under the build tree, named after the running test.
// Removed when the test (outside a test: the program so far) passed; kept
// (and its path printed) when it failed.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    // path()/rel
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;     // exit status, or -1 when killed by a signal
    int signal = 0;      // terminating signal, 0 when it exited
    bool timedOut = false;
    std::string out;     // standard output
    std::string err;     // standard error
};

struct RunOptions {
    // Environment of the child: a minimal base (PATH, HOME=cwd or scratch)
    // plus these; an empty value removes the variable.
    std::map<std::string, std::string> env;
    std::string cwd;          // working directory ("" = inherit)
    std::string input;        // standard input contents
    double timeoutSeconds = 60;
    bool inheritEnv = false;  // start from this process's environment
};

// The child's environment of opts as "NAME=value" strings.
std::vector<std::string> environmentOf(const RunOptions &opts);
// Prints the stacks of pid's threads to standard error (when gdb is installed).
void dumpStacks(pid_t pid);
// Runs argv[0] with the arguments and returns what it printed and its status.
RunResult run(const std::vector<std::string> &argv, const RunOptions &opts = {});
// Runs the velk binary under test with the given arguments.
RunResult runVelk(const std::vector<std::string> &args, const RunOptions &opts = {});

// Splits text into lines without their newlines.
std::vector<std::string> lines(const std::string &text);
std::string readFile(const std::string &path);
// Every object under root, one sorted line each: path, mode, and the
// modification time and contents (or the link target).
std::string treeOf(const std::string &root);
// The first of n neighbouring ports that are free now (0 when none found).
int freePorts(int n);
// The last two lines of a run that ended with status and no counted failure.
std::string failedEnding(int status);
// The saved inputs of fuzz target `target` (fuzz/corpus/<target>), sorted by
// name; empty when the folder is missing.
std::vector<std::string> fuzzCorpusFiles(const char *target);
void writeFile(const std::string &path, const std::string &contents);
// True when path names anything, a dangling symbolic link too.
bool exists(const std::string &path);
// n pseudo-random bytes of a seed, so that a misplaced block cannot compare
// equal.
std::string bytesOf(size_t n, uint32_t seed);

// Path of the velk and kylgwd binaries under test.
const char *velkBinary();
const char *kylgwdBinary();

} // namespace velktest

#endif
