#ifndef VELK_MOVERDISPLAY_H
#define VELK_MOVERDISPLAY_H

// The debugging display of the initiator messages that data movers send
// (debug level 3 and more).

#include "kylgw_mvrprot.h"

// Writes msg, one field per line, to standard error under the listing-file
// lock, headed "Transfer Initiation Message - Transfer # transfer
// Connection connection".  Any thread.
void velk_DisplayInitiatorMessage(int transfer, int connection, const initiator_msg_t *msg);

#endif
