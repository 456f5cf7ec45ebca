// Action routines that this build does not carry yet, and the reserved
// actions.  An action that is not built fails honestly: an ERROR naming it,
// status 70 and the failure line.  Each implemented action moves into a unit
// of its own.

#include "velk_Actions.h"

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

namespace {

int notBuilt()
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s is not available in this build of velk\n",
                velk_FunctionToString(velk_function));
    velk_SetExitCode(VELK_EXIT_SOFTWARE);
    velk_FinalLine(false);
    return -1;
}

} // namespace

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

int velk_Verify()
{
    return notBuilt();
}
