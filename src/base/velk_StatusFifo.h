#ifndef VELK_STATUSFIFO_H
#define VELK_STATUSFIFO_H

// The status FIFO (-N): every line is "<pid> <phase name> <text>\n" plus a
// NUL byte.  A detached status thread writes the pending line, or a
// heartbeat, every -H interval seconds; immediate messages are
// written at once.  statusFifoLock guards the pending line and every write
// to the FIFO.  Also the program phase and the two global locks.

// Program phases, the value of velk_prog_phase.
enum VELK_PROG_PHASE_E {
    VTP_OPEN_CONNECTION = 1,
    VTP_SHUTDOWN = 2,
    VTP_FORCED_SHUTDOWN = 3,
    VTP_GEN_FILELIST = 4,
    VTP_CREATE_WRITEARCHIVE = 5,
    VTP_CREATE_VERIFYARCHIVE = 6,
    VTP_CREATE_COPYINDEX = 7,
    VTP_CREATE_RMLOCAL = 8,
    VTP_EXTRACT_OPEN_FILES = 9,
    VTP_EXTRACT_PASS1 = 10,
    VTP_EXTRACT_READARCHIVE = 11,
    VTP_LIST_OPENINDEX = 12,
    VTP_LIST_READINDEX = 13,
    VTP_BLDIDX_OPENFILES = 14,
    VTP_BLDIDX_READARCHIVE = 15,
    VTP_VERIFY_PASS1 = 16,
    VTP_VERIFY_PASS2 = 17,
};

constexpr int VELK_STATUS_LINE_MAX = 1024;

extern int velk_status_pipefd; // the -N FIFO, -1 when closed

// Prepares the pending line and the process-ID text.  0, or -12 (with the
// message) when memory runs out.
int velk_InitStatusFifo();
// Starts the detached status thread, which writes a heartbeat every
// interval seconds (at least 1).  0, or -1 with a message (status 71).
int velk_StartStatusThread(int interval);
// Formats the text and makes it the pending line "<pid> <phase> <text>\n";
// with immediate 1 writes it at once.  Does nothing while the FIFO is not in
// use.
void velk_StatusMsg(int immediate, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Closes the FIFO descriptor (end of the run).
void velk_CloseStatusFifo();

void velk_SetProgramPhase(int phase);
int velk_GetProgramPhase();
// Name of a phase, null when it is not in the table.
const char *velk_LookupProgPhase(int phase);
// Name of the current phase, null when it has none.
const char *velk_StatusPhaseString();

// Creates the listing-file lock and the status-FIFO lock; 0 or -1.
int velk_InitGlobalLocks();
void velk_LockListingFile();
void velk_UnlockListingFile();
void velk_LockStatusFifo();
void velk_UnlockStatusFifo();

#endif
