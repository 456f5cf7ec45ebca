// The help texts: the full help (-?) and the short usage printed with
// command-line errors, written to standard error one line at a time; and
// what --help and --version print on standard output.

#include <cstdio>

#include "velk_Globals.h"
#include "velk_ParseCmdLine.h"
#include "velk_version.h"

namespace {

const char *const fullHelp[] = {
    "Usage",
    "",
    "velk  [-?]  -{c|D|K|t|U|x|X}  [-d debuglevel] -f Archive [-B] [-E] [exclude option(s)] [-H opt[:opt...]] [-h]  [-J]  [-l login_name] [-L inputlist] [-M maxfiles]",
    "     [-m] [-O] [-o] [-n time] [-N fifoname] [-P] [-p] [-q]  [-v] [-V] [-w]",
    "     [-I {IndexFile | .suffix}] [-Y auto | [Archive COS ID][:Index File COS ID]]",
    "     [-S Bufsize] [-T Max Threads] [Filespec | Directory ...]",
    "",
    "-f Archive   Specifies Archive file name (required option)",
    "",
    "-c      Create an archive file and its index file",
    "-D      Soft-delete members: mark them deleted in the index file",
    "-K      Verify an archive file against its index file",
    "-t      List the members of an archive file from its index file",
    "-U      Undelete members: clear their deleted mark in the index file",
    "-x      Extract members from an archive file",
    "-X      Rebuild the index file by reading the archive file",
    "",
    "Options ",
    "-?      Display this help text",
    "-B      Show block numbers in listings",
    "-d      Set the debug level (0-5)",
    "        (2 and above keep temporary index files)",
    "-E      Archive file and Index file are local files (not QUOR-resident)",
    "",
    "Exclude options (note: multiple exclude options can be given)",
    "--exclude=pattern",
    "        Exclude files matching the shell pattern (applies to every",
    "        directory level)",
    "",
    "--exclude-from=file",
    "        Exclude files matching the patterns listed in file, one per line",
    "",
    "--exclude-ignore=file",
    "        Read exclude patterns from file in each directory; they apply",
    "        to that directory only",
    "",
    "--exclude-ignore-recursive=file",
    "        Read exclude patterns from file in each directory; they apply",
    "        to that directory and every directory below it",
    "",
    "--exclude-backups",
    "        Exclude backup and lock files (.#*, *~, #*#)",
    "",
    "--exclude-caches",
    "        Exclude the contents of directories holding a cache directory",
    "        tag (CACHEDIR.TAG), keeping the directory and the tag file",
    "",
    "--exclude-caches-under",
    "        Exclude the contents of directories holding a cache directory",
    "        tag, keeping the directory but not the tag file",
    "",
    "--exclude-caches-all",
    "        Exclude directories holding a cache directory tag, with",
    "        everything in them",
    "",
    "--exclude-tag=file",
    "        Exclude the contents of directories holding file, keeping the",
    "        directory and the file itself",
    "",
    "--exclude-tag-under=file",
    "        Exclude the contents of directories holding file, keeping the",
    "        directory but not the file",
    "",
    "--exclude-tag-all=file",
    "        Exclude directories holding file, with everything in them",
    "",
    "--exclude-vcs-ignores",
    "        Read the ignore files of version-control systems (.gitignore,",
    "        .cvsignore, .bzrignore, .hgignore) in each directory",
    "",
    "--exclude-vcs",
    "        Exclude the directories and files of version-control systems",
    "",
    "-f Archive   Specifies Archive file name (required option)",
    "",
    "-H opt[:opt...] Specifies colon-separated list of options, as follows:",
    "        acct=id|name     Charge the run to this account (number or name)",
    "        crc              Compute member CRCs while archiving",
    "        cix              Copy the index file to a local temporary file",
    "                         before extracting from a QUOR archive",
    "        copies=n         Number of copies (1-5) for automatic COS selection",
    "        nocfchk          Skip the consistency file versus index file check",
    "        exfile=path      Write the exceptions list to path",
    "                         (%H home, %U user, %N host, %P process ID)",
    "        family=id[,idx]  File family ID of the archive file and,",
    "                         optionally, of the index file",
    "        msg_interval=n   Seconds between status FIFO messages (1-3600)",
    "        okfile=path      Write the success list to path",
    "                         (%H home, %U user, %N host, %P process ID)",
    "        nocrc            Do not compute member CRCs (default)",
    "        noglob           Do not expand wildcards in file names",
    "        norecurse        Do not descend into directories",
    "        nostage          Do not stage tape-resident archives before reading",
    "        port=n           Gateway server port (0-65535)",
    "        relpaths         Verify with relative member paths",
    "        rmlocal          Remove local member files once they are safely",
    "                         archived",
    "        server=host      Gateway server host name or address",
    "        tss=size         Stack size of the local file reader threads",
    "                         (0-100mb)",
    "        umask=octal      Umask for the archive and index files",
    "        verify=list      Verify after the transfer; comma-separated list of:",
    "                 info        compare tar headers with index entries",
    "                 crc         re-read the archive and compare member CRCs",
    "                 nocrc       do not compare CRCs",
    "                 compare     compare local files with the archive",
    "                 nocompare   do not compare local files",
    "                 0           same as info",
    "                 1           info and crc",
    "                 2           info, crc and compare",
    "                 all         info, crc and compare (clears paranoid)",
    "                 paranoid    before rmlocal removes a local file, check",
    "                             that it did not change since it was archived",
    "                 noparanoid  do not check local files before removal",
    "",
    "-h      Follow symbolic links",
    "",
    "-I      {IndexFile | .suffix}",
    "        Index file name, or a suffix added to the archive file name",
    "        (default: Archive.idx)",
    "",
    "-J      Select members by index ordinal instead of path name",
    "",
    "-l      login_name",
    "        QUOR login (principal) name",
    "",
    "-L      inputlist",
    "        File listing the member names, one per line (\"-\" for standard",
    "        input)",
    "",
    "-M      maxfiles",
    "        Largest number of members in a new archive",
    "",
    "-m      Give extracted files the extraction time as modification time",
    "",
    "-N      fifoname",
    "        Write status messages to the named pipe fifoname",
    "",
    "-n      time",
    "        Select files modified within the last \"days\", \"days:hours\" or",
    "        \":hours\"",
    "",
    "-O      Extract members to standard output",
    "",
    "-o      Use the running user's UID and GID for extracted files, even",
    "        when running as root",
    "",
    "-p      Restore permissions exactly, ignoring the umask",
    "",
    "-P      Create missing parent directories of the archive file",
    "",
    "-q      Quiet: no progress line on the terminal",
    "",
    "-S      Bufsize",
    "        Archive I/O buffer size (minimum 512kb; suffixes kb, mb, gb)",
    "",
    "-T      Max Threads",
    "        Largest number of copy threads (default 50)",
    "",
    "-V      Show transfer statistics",
    "",
    "-v      Verbose: show statistics and the names of files handled",
    "",
    "-w      Wait for interactive OK ",
    "        (extract, verify, delete, undelete; refused with -c; end of input",
    "        answers no)",
    "",
    "-Y      auto | [Archive COS ID][:Index File COS ID]",
    "        Class of service of the archive file and of the index file;",
    "        \"auto\" selects both automatically by size",
};

// The long options, printed after the full help by -? and --help.
const char *const longOptionsHelp[] = {
    "",
    "Long options",
    "-C DIR, --directory=DIR",
    "        Change to DIR before reading the files to archive; extract into DIR",
    "--create, --list, --extract, --verbose, --file=Archive",
    "        The same as -c, -t, -x, -v and -f Archive (a value may also be the",
    "        next word: --file Archive)",
    "--verify",
    "        After a create, the same as -H verify=all",
    "--exclude PATTERN",
    "        The same as --exclude=PATTERN",
    "--json  Output for scripts: one JSON object per member on standard output",
    "        (-t, -x, -K, -X, -D, -U); messages and the summary on standard error",
    "--names Output for scripts: the bare member names on standard output, one",
    "        a line (-t only)",
    "--no-gateway",
    "        With -E: open no gateway session (also VELK_NO_GATEWAY=1)",
    "--mount DIR",
    "        Show the archive's members as a read-only file system on DIR",
    "--help, --version",
    "        Print this help and the exit statuses, or the version, on standard",
    "        output",
    "Every -H sub-option is also a long option: --crc, --server=host, ...",
};

const char *const shortUsage[] = {
    "Usage:",
    "",
    "velk  -{c|D|K|t|U|x|X} -f Archive [-?] [-B] [-E] [-h] [-H opt[:opt...]]",
    "     [-d debuglevel] [--exclude, etc. opts] [-I {IndexFile | .suffix}] [-L inputlist] ",
    "     [-M maxfiles] [-m] [-n days[:hours]] [-O] [-o] [-p] [-q]",
    "     [-v] [-V] [-w] [-Y auto | [Archive COS ID][:Index File COS ID]]",
    "     [-S Bufsize] [-T Max Threads] [Filespec | Directory ...]",
};

// Every status a run can end with, as --help lists them.
struct exitStatusText {
    int status;
    const char *meaning;
};
const exitStatusText exitStatuses[] = {
    {VELK_EXIT_OK, "success"},
    {VELK_EXIT_BOOKKEEPING, "internal error in the bookkeeping of member transfers"},
    {VELK_EXIT_EMPTY, "create refused: nothing to archive"},
    {VELK_EXIT_USAGE, "bad command line (no arguments, no action, -w with -c), option value or\n"
                      "          pattern, unusable path (a name beyond the ustar limits), piped\n"
                      "          archive without -I, a -D/-U name of a directory, verify=crc of an\n"
                      "          index without CRCs, or the account could not be set"},
    {VELK_EXIT_MISMATCH, "data mismatch found (verify, extract)"},
    {VELK_EXIT_FILELIST, "the file list could not be generated (an -L list that cannot be read,\n"
                         "          more members than -M allows)"},
    {VELK_EXIT_SOFTWARE, "internal software error, expiration rules that cannot be loaded or\n"
                         "          set, or a forced shutdown (SIGUSR1) that outlived its grace period"},
    {VELK_EXIT_OSERR, "operating-system or gateway session failure (threads, signals, the\n"
                      "          gateway connection, site information, user identity)"},
    {VELK_EXIT_IOERR, "a file could not be opened, read, written or examined (archive,\n"
                      "          index, member, exceptions or success file), a member name found\n"
                      "          nothing (or only soft-deleted members), or a write ran out of space"},
    {VELK_EXIT_CONSISTENCY, "the consistency member could not be created"},
    {VELK_EXIT_EXTRACT_IO, "I/O error while extracting or reading a remote directory"},
    {VELK_EXIT_NOMEM, "memory could not be allocated"},
};

} // namespace

void velk_HelpToStdout()
{
    int count = velk_UsageLineCount(1);
    for (int i = 0; i < count; i++)
        printf("%s\n", fullHelp[i]);
    for (const char *line : longOptionsHelp)
        printf("%s\n", line);
    printf("\nExit status\n");
    for (const exitStatusText &e : exitStatuses)
        printf("  %-7d %s\n", e.status, e.meaning);
    printf("\nThe last line of a run is \"VELK: VELK SUCCESSFUL\" only when the status is 0.\n");
    fflush(stdout);
}

void velk_PrintVersion()
{
    printf("velk %s (built %s)\n", VELK_VERSION_NUMBER, VELK_BUILD_DATE);
    fflush(stdout);
}

void velk_Usage(int full)
{
    const char *const *text = full ? fullHelp : shortUsage;
    int count = velk_UsageLineCount(full);
    for (int i = 0; i < count; i++) {
        fputs(text[i], stderr);
        fputc('\n', stderr);
    }
    if (full) {
        for (const char *line : longOptionsHelp) {
            fputs(line, stderr);
            fputc('\n', stderr);
        }
    }
    fflush(stderr);
}

int velk_UsageLineCount(int full)
{
    return full ? static_cast<int>(sizeof fullHelp / sizeof fullHelp[0])
                : static_cast<int>(sizeof shortUsage / sizeof shortUsage[0]);
}
