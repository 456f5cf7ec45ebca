// The reserved actions that no option selects.  Each implemented action
// has a unit of its own.

#include "velk_Actions.h"

int velk_Annotate(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_Append(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_Compare(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_CompareCksums(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_Copy(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_Repack(velk_run_t *run)
{
    (void)run;
    return 0;
}
int velk_Update(velk_run_t *run)
{
    (void)run;
    return 0;
}
