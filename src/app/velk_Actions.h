#ifndef VELK_ACTIONS_H
#define VELK_ACTIONS_H

// The action routines, one per VELK_OP.  Each takes the run's context,
// prints its own final line and returns 0 or a negative value on failure.
// The reserved actions that no option selects return 0 at once.

#include "velk_Context.h"

int velk_Annotate(velk_run_t *run);
int velk_Append(velk_run_t *run);
int velk_BuildIndex(velk_run_t *run);
int velk_Compare(velk_run_t *run);
int velk_CompareCksums(velk_run_t *run);
int velk_Create(velk_run_t *run);
int velk_Copy(velk_run_t *run);
int velk_Extract(velk_run_t *run);
int velk_List(velk_run_t *run);
int velk_Repack(velk_run_t *run);
int velk_Update(velk_run_t *run);
int velk_Verify(velk_run_t *run);

#endif
