// The table of injectable system calls (see velk_Env.h).

#include "velk_Env.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Globals.h"

namespace {

// Sleeps in tenths of a second and returns early when the shutdown flag is
// raised, so that a signal ends a wait for space at once.
void nospaceSleep(unsigned seconds)
{
    const char *text = getenv("VELK_NOSPACE_SLEEP");
    if (text != nullptr && *text != '\0') {
        char *end = nullptr;
        long value = strtol(text, &end, 10);
        if (*end == '\0' && value >= 0 && value <= static_cast<long>(seconds))
            seconds = static_cast<unsigned>(value);
    }
    for (unsigned i = 0; i < seconds * 10 && !velk_shutdown_signalled.load(); ++i) {
        struct timespec ts = {0, 100000000};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !velk_shutdown_signalled.load()) {
        }
    }
}

void busySleep(unsigned seconds)
{
    kylgw_ThreadSleep(seconds, 0);
}

void dirOpened(const char *) {}

constexpr velk_env_t kSystemEnv = {::read, ::write, ::read, nospaceSleep, busySleep, dirOpened, ::copy_file_range};

// The table in use: written only by velk_SetEnv before threads use it.
velk_env_t g_env = kSystemEnv;

} // namespace

const velk_env_t &velk_Env()
{
    return g_env;
}

bool velk_EnvUsesSystemIo()
{
    return g_env.localRead == kSystemEnv.localRead && g_env.localWrite == kSystemEnv.localWrite;
}

void velk_SetEnv(const velk_env_t *env)
{
    g_env = env != nullptr ? *env : kSystemEnv;
}
