#ifndef GW_WORKERS_H
#define GW_WORKERS_H

// The daemon's pool of worker threads: requests that may take long (data
// transfers, accepts of data connections, replies held back by a fault)
// run here, so the session reader goes on reading the same connection's
// next requests and their replies may overtake.  One pool for the whole
// daemon, of GW_WORKER_THREADS threads and a queue of at most
// GW_WORKER_QUEUE_MAX jobs.  Locks: gw_workersMutex (a leaf lock, held only
// around the queue).

#include <cstddef>

constexpr size_t GW_WORKER_THREADS = 8;
constexpr size_t GW_WORKER_QUEUE_MAX = 256;

typedef void (*gw_job_fn)(void *arg);

// Starts the pool.  Main thread, before sessions start.  Returns 0 or
// -errno (threads already started are stopped again).
[[nodiscard]] int gw_WorkersStart();

// Queues fn(arg) for a worker.  Any thread.  Returns 0, or -EAGAIN when the
// pool is not running or its queue is full (the caller then runs the job
// itself).
[[nodiscard]] int gw_WorkersSubmit(gw_job_fn fn, void *arg);

// Runs every queued job, then joins the workers.  Main thread, after every
// session was joined.
void gw_WorkersStop();

#endif
