#include "velk_Run.h"

#include <cstdlib>

void velk_Run(int, char **)
{
    exit(70);
}
