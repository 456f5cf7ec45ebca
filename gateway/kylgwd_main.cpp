// kylgwd: the stand-in gateway daemon.

#include "gw_daemon.h"

int main(int argc, char **argv)
{
    return gw_DaemonMain(argc, argv);
}
