// Definitions and defaults of the run state declared in velk_Globals.h.

#include "velk_Globals.h"

#include <cerrno>

int velk_function = VOP_NOFUNCTION;
char *velk_archive = nullptr;
int velk_filetype = 0;
char *velk_index_filename = nullptr;
std::atomic<uint32_t> velk_option_flags{0};
int velk_debug_level = 0;
const long velk_abs_max_files = 5000000;
int velk_archive_cosID = -1;
int copyCount = 1;
std::atomic<int> velk_exit_code{0};
int isatty2 = 0;
std::atomic<int> velk_logging_enabled{0};
std::atomic<unsigned char> velk_shutdown_signalled{0};

void velk_SetExitCode(int code)
{
    int expected = 0;
    velk_exit_code.compare_exchange_strong(expected, code);
}

const char *velk_ProgramName()
{
    // glibc keeps argv[0] here from process start-up on.
    return program_invocation_name;
}
