#ifndef VELK_CREATE_H
#define VELK_CREATE_H

// The create action (velk_Create, declared with the other actions) and the
// pieces of it that later builds fill in.

// Verification of a freshly written archive against its temporary index.
// This build does not verify: the call reports that and returns -1, so a
// create asked to verify fails rather than claiming a check it did not make.
int velk_PostXferVerify();

#endif
