#ifndef GW_OPTIONS_H
#define GW_OPTIONS_H

// kylgwd's command line: parsing into gw_options_t, the syntax checks of each
// value, and the checks against the file system (directories that must
// exist, files that must be readable) that turn every path absolute so the
// daemon can change to "/" when it detaches.  Called from the main thread
// during start-up only.

#include <string>

// The client's built-in gateway port, used when --listen is not given.
constexpr int GW_DEFAULT_PORT = 1217;
constexpr const char *GW_DEFAULT_HOST = "127.0.0.1";
constexpr int GW_PORT_MAX = 65535;

// Run modes the daemon can serve.
constexpr int GW_RUNMODE_STORAGE = 1;   // the served tree is the storage system
constexpr int GW_RUNMODE_FSGATEWAY = 2; // the served tree is a plain file-system gateway

struct gw_options_t {
    std::string listenHost = GW_DEFAULT_HOST; // numeric address or host name, no brackets
    int listenPort = GW_DEFAULT_PORT;         // 0 asks the kernel for a free port
    std::string portFile;                     // "" = do not write one
    std::string pidFile;                      // "" = do not write one
    std::string root;                         // the served tree (required)
    std::string meta;                         // sidecar metadata directory, outside root ("" = none)
    int runMode = GW_RUNMODE_STORAGE;
    std::string configFile; // users, classes of service, site values ("" = built-in defaults)
    std::string faultsFile; // fault script, re-read per session; may appear later
    std::string eventsFile; // JSON-lines event log ("" = none)
    std::string logFile;    // daemon log ("" = standard error)
    bool foreground = false;
    bool syslog = false; // log to syslog(3) instead of the log file or standard error
    // Run as a mover daemon: serve the gateway's stripes, no client messages.
    bool mover = false;
};

// What gw_ParseOptions found.
enum class gw_parse_t {
    run,           // options are syntactically valid
    help,          // --help was given; print gw_UsageText() and exit 0
    version,       // --version was given; print gw_VersionText() and exit 0
    hash_password, // --hash-password was given: hash a password from standard input and exit
    check_config,  // --check-config FILE: opts->configFile is FILE; check it and exit
    usage,         // *err holds a one-line message
};

// Parses argv[1..argc-1].  Options take their value as the next argument or
// after "=" ("--root DIR" or "--root=DIR"); each may be given once.  Does not
// touch the file system.  On gw_parse_t::usage, *err is one line without the
// program name or a newline.
[[nodiscard]] gw_parse_t gw_ParseOptions(int argc, char *const argv[], gw_options_t *opts, std::string *err);

// Splits "HOST:PORT" or "[IPV6]:PORT".  Returns 0 with *host and *port set,
// or -1 with a one-line message in *err.
[[nodiscard]] int gw_ParseListen(const std::string &text, std::string *host, int *port, std::string *err);

// Checks the paths in *opts against the file system and makes every path
// absolute: root and meta must be directories (resolved with realpath, meta
// not inside root), the config file readable, the faults file a regular file
// if it exists, and the directories of portfile, pidfile, log and events
// files must exist.  Returns 0, or -1 with a one-line message in *err.
[[nodiscard]] int gw_CheckOptionPaths(gw_options_t *opts, std::string *err);

// The --help text, several lines ending in a newline.
const char *gw_UsageText();

// The --version line: name, version and build date, ending in a newline.
const char *gw_VersionText();

#endif
