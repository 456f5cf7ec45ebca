#ifndef VELK_ACTIONS_H
#define VELK_ACTIONS_H

// The action routines, one per VELK_OP.  Each takes no argument, prints its
// own final line and returns 0 or a negative value on failure.  The reserved
// actions that no option selects return 0 at once.

int velk_Annotate();
int velk_Append();
int velk_BuildIndex();
int velk_Compare();
int velk_CompareCksums();
int velk_Create();
int velk_Copy();
int velk_Extract();
int velk_List();
int velk_Repack();
int velk_Update();
int velk_Verify();

#endif
