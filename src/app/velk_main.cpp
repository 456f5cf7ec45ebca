// The velk command: one action on one archive; see velk_Run.

#include "velk_Run.h"

int main(int argc, char **argv)
{
    velk_Run(argc, argv); // never returns
}
