#ifndef VELK_NOGATEWAY_H
#define VELK_NOGATEWAY_H

// Runs of a local archive without a gateway session (--no-gateway or
// VELK_NO_GATEWAY=1), and the local paths that a change of directory among
// the operands ("-C DIR", -C before them included) must not move.  Initial
// thread, during start-up.

#include "velk_Context.h"

// Refuses a run without a gateway session whose archive needs one (no -E:
// the archive, and so its index, lives behind the gateway).  With -E the
// archive, its index, a -L list and what -X rebuilds are local files.
// 0, or -1 after the message (the caller ends the run with status 64).
int velk_NoGatewayRefused(const velk_run_t *run);

// The identity a run without a gateway session works with: the process's
// own user and group, the default account.
void velk_NoGatewayIdentity(velk_run_t *run);

// After a local archive's run failed to reach a gateway: the line that
// tells how to run without one (standard error).
void velk_NoGatewayHint();

// True when the operands from run->argv[run->optind] on change directory.
bool velk_OperandsChangeDirectory(const velk_run_t *run);

// Makes the relative path of a local archive (its absolute path from run)
// and of a local index absolute, so that a change of directory while the
// operands are read leaves them where the command line named them.  0, or
// -1 with the status set.
int velk_AnchorLocalPaths(const velk_run_t *run);

#endif
