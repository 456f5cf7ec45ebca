// Placeholder until the daemon's option parsing and listener land.

#include "gw_daemon.h"

#include <cstdio>

int gw_DaemonMain(int, char **)
{
    fprintf(stderr, "kylgwd: not built yet\n");
    return 70;
}
