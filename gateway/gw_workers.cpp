// The worker pool (see gw_workers.h).  A fixed ring of queued jobs and a
// fixed array of threads, all guarded by gw_workersMutex; workers sleep on
// gw_workersCond.  Jobs run with no pool lock held.

#include "gw_workers.h"

#include "gw_log.h"

#include <kyl_mutex.h>

#include <cerrno>
#include <cstring>
#include <pthread.h>

namespace {

struct gw_job_t {
    gw_job_fn fn;
    void *arg;
};

} // namespace

// Guards the queue, the running flag and the thread table.
static kyl_mutex_t gw_workersMutex;
// Signalled when a job is queued and when the pool stops; used with
// gw_workersMutex.
static pthread_cond_t gw_workersCond = PTHREAD_COND_INITIALIZER;
static gw_job_t gw_jobQueue[GW_WORKER_QUEUE_MAX] KYL_GUARDED_BY(gw_workersMutex);
static size_t gw_jobHead KYL_GUARDED_BY(gw_workersMutex) = 0;
static size_t gw_jobCount KYL_GUARDED_BY(gw_workersMutex) = 0;
static bool gw_workersRunning KYL_GUARDED_BY(gw_workersMutex) = false;
static bool gw_workersStopping KYL_GUARDED_BY(gw_workersMutex) = false;
// Written by the main thread only, while starting and stopping.
static pthread_t gw_workerThreads[GW_WORKER_THREADS];
static size_t gw_workerCount = 0;

static void *gw_WorkerMain(void *)
{
    for (;;) {
        gw_job_t job;
        {
            kyl_lock_guard g(gw_workersMutex);
            while (gw_jobCount == 0 && !gw_workersStopping)
                pthread_cond_wait(&gw_workersCond, gw_workersMutex.native());
            if (gw_jobCount == 0)
                return nullptr; // stopping, and nothing left to run
            job = gw_jobQueue[gw_jobHead];
            gw_jobHead = (gw_jobHead + 1) % GW_WORKER_QUEUE_MAX;
            gw_jobCount--;
        }
        try {
            job.fn(job.arg);
        } catch (...) {
            gw_Log("a worker job failed with an exception");
        }
    }
}

int gw_WorkersStart()
{
    {
        kyl_lock_guard g(gw_workersMutex);
        gw_workersStopping = false;
        gw_jobHead = gw_jobCount = 0;
    }
    for (size_t i = 0; i < GW_WORKER_THREADS; i++) {
        int rc = pthread_create(&gw_workerThreads[i], nullptr, gw_WorkerMain, nullptr);
        if (rc != 0) {
            gw_Log("cannot start worker thread %zu: %s", i, strerror(rc));
            gw_WorkersStop();
            return -rc;
        }
        gw_workerCount = i + 1;
    }
    kyl_lock_guard g(gw_workersMutex);
    gw_workersRunning = true;
    return 0;
}

int gw_WorkersSubmit(gw_job_fn fn, void *arg)
{
    kyl_lock_guard g(gw_workersMutex);
    if (!gw_workersRunning || gw_workersStopping || gw_jobCount >= GW_WORKER_QUEUE_MAX)
        return -EAGAIN;
    gw_jobQueue[(gw_jobHead + gw_jobCount) % GW_WORKER_QUEUE_MAX] = {fn, arg};
    gw_jobCount++;
    pthread_cond_signal(&gw_workersCond);
    return 0;
}

void gw_WorkersStop()
{
    {
        kyl_lock_guard g(gw_workersMutex);
        gw_workersStopping = true;
        pthread_cond_broadcast(&gw_workersCond);
    }
    for (size_t i = 0; i < gw_workerCount; i++)
        pthread_join(gw_workerThreads[i], nullptr);
    gw_workerCount = 0;
    kyl_lock_guard g(gw_workersMutex);
    gw_workersRunning = false;
}
