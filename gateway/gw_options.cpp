// Parses and checks kylgwd's command line (see gw_options.h).  A small
// hand-written parser rather than getopt_long: it keeps no global state, so
// the unit tests can run it many times, and it refuses repeated options.
// Runs on the main thread during start-up only; takes no locks.

#include "gw_options.h"

#include "gw_version.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char *gw_UsageText()
{
    return "usage: kylgwd --root DIR [options]\n"
           "       kylgwd --hash-password < password\n"
           "       kylgwd --check-config FILE\n"
           "Serves DIR to velk as a gateway and storage system on loopback.\n"
           "  --listen HOST:PORT  address to listen on (default 127.0.0.1:1217; port 0 picks a free port;\n"
           "                      IPv6 as [ADDR]:PORT)\n"
           "  --portfile FILE     write the port number to FILE once listening (replaced atomically)\n"
           "  --pidfile FILE      write the daemon's process id to FILE once listening\n"
           "  --root DIR          the served tree; the namespace \"/\" is DIR\n"
           "  --meta DIR          sidecar metadata directory, outside the served tree\n"
           "  --runmode 1|2       1: storage system (default); 2: file-system gateway\n"
           "  --config FILE       users, classes of service and site values\n"
           "  --faults FILE       fault script, re-read at each new session\n"
           "  --events FILE       machine-readable event log (JSON lines)\n"
           "  --log FILE          daemon log (default: standard error, kept open when detaching;\n"
           "                      under systemd that is the journal)\n"
           "  --syslog            log to syslog (facility daemon) instead\n"
           "  --mover             run a mover daemon: move the stripes a gateway sends (the key file\n"
           "                      mover_key in the Site section of --config proves the gateway)\n"
           "  --foreground        stay attached; otherwise detach once listening (under systemd\n"
           "                      with NOTIFY_SOCKET set, readiness is reported there)\n"
           "  --hash-password     read a password from standard input, print its crypt(3) hash\n"
           "                      for the users section of the configuration file, and exit\n"
           "  --check-config FILE read FILE as --config would, report every problem with its line\n"
           "                      on standard error, and exit (0: valid, 78: problems)\n"
           "  --help              print this text\n"
           "  --version           print the version and build date\n"
           "Exit status: 0 after a clean stop (SIGTERM or SIGINT), 64 for usage errors,\n"
           "69 when the address cannot be used, 71 for system errors, 73 when a file cannot be written,\n"
           "78 when the configuration file is malformed.\n"
           "SIGHUP reopens the --log and --events files at their paths (after logrotate renamed them).\n";
}

const char *gw_VersionText()
{
    return "kylgwd " GW_VERSION_NUMBER " (built " GW_BUILD_DATE ")\n";
}

// Parses a decimal number in [lo, hi] with nothing around it.
static bool gw_ParseInt(const std::string &text, long lo, long hi, int *out)
{
    if (text.empty() || text.size() > 10)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int gw_ParseListen(const std::string &text, std::string *host, int *port, std::string *err)
{
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        size_t rb = text.find(']');
        if (rb == std::string::npos || rb + 1 >= text.size() || text[rb + 1] != ':') {
            *err = "--listen '" + text + "': expected [ADDRESS]:PORT";
            return -1;
        }
        h = text.substr(1, rb - 1);
        p = text.substr(rb + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *err = "--listen '" + text + "': expected HOST:PORT";
            return -1;
        }
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (h.find(':') != std::string::npos) {
            *err = "--listen '" + text + "': write IPv6 addresses as [ADDRESS]:PORT";
            return -1;
        }
    }
    if (h.empty()) {
        *err = "--listen '" + text + "': the host is empty";
        return -1;
    }
    int v = 0;
    if (!gw_ParseInt(p, 0, GW_PORT_MAX, &v)) {
        *err = "--listen '" + text + "': the port must be a number from 0 to 65535";
        return -1;
    }
    *host = h;
    *port = v;
    return 0;
}

namespace {

enum class gw_opt_id {
    listen,
    portfile,
    pidfile,
    root,
    meta,
    runmode,
    config,
    faults,
    events,
    log,
    foreground,
    syslog,
    help,
    version,
    hash_password,
    mover,
    check_config
};

struct gw_opt_def {
    const char *name;
    gw_opt_id id;
    bool takesValue;
};

const gw_opt_def gw_optTable[] = {
    {"--listen", gw_opt_id::listen, true},
    {"--portfile", gw_opt_id::portfile, true},
    {"--pidfile", gw_opt_id::pidfile, true},
    {"--root", gw_opt_id::root, true},
    {"--meta", gw_opt_id::meta, true},
    {"--runmode", gw_opt_id::runmode, true},
    {"--config", gw_opt_id::config, true},
    {"--faults", gw_opt_id::faults, true},
    {"--events", gw_opt_id::events, true},
    {"--log", gw_opt_id::log, true},
    {"--foreground", gw_opt_id::foreground, false},
    {"--syslog", gw_opt_id::syslog, false},
    {"--help", gw_opt_id::help, false},
    {"--version", gw_opt_id::version, false},
    {"--hash-password", gw_opt_id::hash_password, false},
    {"--mover", gw_opt_id::mover, false},
    {"--check-config", gw_opt_id::check_config, true},
};
constexpr size_t gw_optCount = sizeof gw_optTable / sizeof gw_optTable[0];

} // namespace

gw_parse_t gw_ParseOptions(int argc, char *const argv[], gw_options_t *opts, std::string *err)
{
    gw_options_t o;
    bool seen[gw_optCount] = {};
    bool wantHelp = false;
    bool wantVersion = false;
    bool wantHash = false;
    std::string checkFile;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string name = arg, value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
        }
        size_t k = 0;
        while (k < gw_optCount && name != gw_optTable[k].name)
            k++;
        if (k == gw_optCount) {
            if (arg.empty() || arg[0] != '-')
                *err = "unexpected argument '" + arg + "'";
            else
                *err = "unknown option '" + name + "'";
            return gw_parse_t::usage;
        }
        const gw_opt_def &def = gw_optTable[k];
        if (seen[k]) {
            *err = std::string(def.name) + " given more than once";
            return gw_parse_t::usage;
        }
        seen[k] = true;
        if (!def.takesValue) {
            if (inlineValue) {
                *err = std::string(def.name) + " takes no value";
                return gw_parse_t::usage;
            }
        } else if (!inlineValue) {
            if (i + 1 >= argc) {
                *err = std::string(def.name) + " needs a value";
                return gw_parse_t::usage;
            }
            value = argv[++i];
        }
        if (def.takesValue && value.empty()) {
            *err = std::string(def.name) + " needs a non-empty value";
            return gw_parse_t::usage;
        }

        switch (def.id) {
        case gw_opt_id::listen:
            if (gw_ParseListen(value, &o.listenHost, &o.listenPort, err) != 0)
                return gw_parse_t::usage;
            break;
        case gw_opt_id::runmode:
            if (!gw_ParseInt(value, GW_RUNMODE_STORAGE, GW_RUNMODE_FSGATEWAY, &o.runMode)) {
                *err = "--runmode '" + value + "': must be 1 (storage system) or 2 (file-system gateway)";
                return gw_parse_t::usage;
            }
            break;
        case gw_opt_id::portfile: o.portFile = value; break;
        case gw_opt_id::pidfile: o.pidFile = value; break;
        case gw_opt_id::root: o.root = value; break;
        case gw_opt_id::meta: o.meta = value; break;
        case gw_opt_id::config: o.configFile = value; break;
        case gw_opt_id::faults: o.faultsFile = value; break;
        case gw_opt_id::events: o.eventsFile = value; break;
        case gw_opt_id::log: o.logFile = value; break;
        case gw_opt_id::foreground: o.foreground = true; break;
        case gw_opt_id::syslog: o.syslog = true; break;
        case gw_opt_id::help: wantHelp = true; break;
        case gw_opt_id::version: wantVersion = true; break;
        case gw_opt_id::hash_password: wantHash = true; break;
        case gw_opt_id::mover: o.mover = true; break;
        case gw_opt_id::check_config: checkFile = value; break;
        }
    }
    if (wantHelp)
        return gw_parse_t::help;
    if (wantVersion)
        return gw_parse_t::version;
    if (wantHash)
        return gw_parse_t::hash_password;
    if (!checkFile.empty()) {
        if (!o.configFile.empty()) {
            *err = "--check-config names the file to check; give no --config with it";
            return gw_parse_t::usage;
        }
        o.configFile = checkFile;
        *opts = o;
        return gw_parse_t::check_config;
    }
    if (o.root.empty()) {
        *err = "--root DIR is required";
        return gw_parse_t::usage;
    }
    if (o.syslog && !o.logFile.empty()) {
        *err = "--syslog and --log exclude each other";
        return gw_parse_t::usage;
    }
    *opts = o;
    return gw_parse_t::run;
}

// Makes path absolute against the working directory, without resolving
// links (the file may not exist yet).
static int gw_Absolute(std::string *path, std::string *err)
{
    if (!path->empty() && (*path)[0] == '/')
        return 0;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        *err = std::string("cannot determine the working directory: ") + strerror(errno);
        return -1;
    }
    *path = std::string(cwd) + "/" + *path;
    return 0;
}

// Resolves a directory option to its real path.
static int gw_CheckDir(const char *opt, std::string *path, std::string *err)
{
    char real[PATH_MAX];
    if (realpath(path->c_str(), real) == nullptr) {
        *err = std::string(opt) + " " + *path + ": " + strerror(errno);
        return -1;
    }
    struct stat st;
    if (stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = std::string(opt) + " " + *path + ": not a directory";
        return -1;
    }
    *path = real;
    return 0;
}

// An output file: absolute, its directory must exist, and it must not be a
// directory itself.
static int gw_CheckOutputFile(const char *opt, std::string *path, std::string *err)
{
    if (path->empty())
        return 0;
    if (gw_Absolute(path, err) != 0)
        return -1;
    // Absolute by now, so there is a slash; the directory is what precedes
    // the last one ("/" for a file in the root).
    const size_t slash = path->rfind('/');
    const std::string dir = slash == 0 || slash == std::string::npos ? std::string("/") : path->substr(0, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = std::string(opt) + " " + *path + ": directory " + dir + " does not exist";
        return -1;
    }
    if (stat(path->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *err = std::string(opt) + " " + *path + ": is a directory";
        return -1;
    }
    return 0;
}

int gw_CheckOptionPaths(gw_options_t *opts, std::string *err)
{
    if (gw_CheckDir("--root", &opts->root, err) != 0)
        return -1;
    if (!opts->meta.empty()) {
        if (gw_CheckDir("--meta", &opts->meta, err) != 0)
            return -1;
        // Metadata inside the served tree would be visible (and writable)
        // through the gateway itself.
        const std::string &r = opts->root;
        const std::string &m = opts->meta;
        bool inside =
            m == r || r == "/" || (m.size() > r.size() && m.compare(0, r.size(), r) == 0 && m[r.size()] == '/');
        if (inside) {
            *err = "--meta " + m + ": must be outside the served tree " + r;
            return -1;
        }
    }
    if (!opts->configFile.empty()) {
        if (gw_Absolute(&opts->configFile, err) != 0)
            return -1;
        struct stat st;
        if (stat(opts->configFile.c_str(), &st) != 0) {
            *err = "--config " + opts->configFile + ": " + strerror(errno);
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {
            *err = "--config " + opts->configFile + ": not a regular file";
            return -1;
        }
        if (access(opts->configFile.c_str(), R_OK) != 0) {
            *err = "--config " + opts->configFile + ": " + strerror(errno);
            return -1;
        }
    }
    if (!opts->faultsFile.empty()) {
        // The fault script is read at each new session, so a test may write
        // it after the daemon started; it need not exist yet.
        if (gw_Absolute(&opts->faultsFile, err) != 0)
            return -1;
        struct stat st;
        if (stat(opts->faultsFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            *err = "--faults " + opts->faultsFile + ": not a regular file";
            return -1;
        }
    }
    if (gw_CheckOutputFile("--portfile", &opts->portFile, err) != 0 ||
        gw_CheckOutputFile("--pidfile", &opts->pidFile, err) != 0 ||
        gw_CheckOutputFile("--events", &opts->eventsFile, err) != 0 ||
        gw_CheckOutputFile("--log", &opts->logFile, err) != 0)
        return -1;
    return 0;
}
