// The reserved actions that no option selects.  Each implemented action
// has a unit of its own.

#include "velk_Actions.h"

int velk_Annotate()
{
    return 0;
}
int velk_Append()
{
    return 0;
}
int velk_Compare()
{
    return 0;
}
int velk_CompareCksums()
{
    return 0;
}
int velk_Copy()
{
    return 0;
}
int velk_Repack()
{
    return 0;
}
int velk_Update()
{
    return 0;
}
