// Look-ahead helpers of the local archive writer (see the header).
//
// A look-ahead's lock guards its shared state; a helper holds it only to
// claim the next entry (refilling the shared entry block from the index when
// it is used up), never while it looks a file up.  The helper threads are
// started and joined by the writer's thread alone.

#include "velk_MemberPrefetch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kyl_mutex.h"
#include "kyl_fd.h"
#include "velk_Globals.h"
#include "velk_IndexFormat.h"
#include "velk_MemberFile.h"
#include "velk_Memory.h"

namespace {

// Entries read from the index at a time.
constexpr int64_t kBlockEntries = 256;

} // namespace

// One look-ahead: allocated zeroed by velk_MemberPrefetchStart, its lock and
// condition set up there, freed by velk_MemberPrefetchStop after the helpers
// were joined.
struct velk_prefetch_t {
    kyl_mutex_t lock;
    kyl_cond_t moved; // the writer advanced, or stop
    int indexFd KYL_GUARDED_BY(lock);
    int64_t entryOffset KYL_GUARDED_BY(lock);
    int64_t entries KYL_GUARDED_BY(lock);
    int64_t next KYL_GUARDED_BY(lock);     // next entry to claim
    int64_t writerAt KYL_GUARDED_BY(lock); // entry the writer copies
    bool stopping KYL_GUARDED_BY(lock);
    bool running KYL_GUARDED_BY(lock); // helpers started and not yet stopped
    int waiting KYL_GUARDED_BY(lock);  // helpers waiting for the writer
    // Members found in memory in a row; at VELK_PREFETCH_WARM_RUN the
    // helpers only sample.
    int64_t residentRun KYL_GUARDED_BY(lock);
    // Entries blockFirst.. of the index.
    unsigned char block[kBlockEntries * HIF_ENTRY_SIZE] KYL_GUARDED_BY(lock);
    int64_t blockFirst KYL_GUARDED_BY(lock);
    int64_t blockCount KYL_GUARDED_BY(lock);
    // The helper threads; started and joined by the writer's thread only.
    pthread_t threads[VELK_PREFETCH_THREADS];
    int threadCount;
};

namespace {

// Reads the entries from ordinal on into p->block.  False at the end of the
// file or on an error (the look-ahead then ends; the writer is not
// concerned).  Called with p->lock held.
bool fillBlock(velk_prefetch_t *p, int64_t ordinal) KYL_REQUIRES(p->lock)
{
    int64_t count = std::min(kBlockEntries, p->entries - ordinal);
    size_t want = static_cast<size_t>(count) * HIF_ENTRY_SIZE;
    size_t have = 0;
    off_t at = static_cast<off_t>(p->entryOffset + ordinal * static_cast<int64_t>(HIF_ENTRY_SIZE));
    while (have < want) {
        ssize_t n = pread(p->indexFd, p->block + have, want - have, at + static_cast<off_t>(have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
    }
    p->blockFirst = ordinal;
    p->blockCount = static_cast<int64_t>(have / HIF_ENTRY_SIZE);
    return p->blockCount > 0;
}

// One claim of a helper: consecutive entries and how they are looked up.
struct Claim {
    hif_entry_t entries[VELK_PREFETCH_CLAIM];
    int64_t count;
    bool sample; // only the first regular file is looked up unless it is not in memory
};

// Claims the next entries within the window (VELK_PREFETCH_CLAIM when
// sampling, else one),
// waiting for the writer when the window is used up; first adds what the
// previous claim found to the run of members in memory.  False when the
// look-ahead is over.
bool claimEntries(velk_prefetch_t *p, Claim *claim, int64_t resident, bool missed) KYL_EXCLUDES(p->lock)
{
    kyl_lock_guard lock(p->lock);
    p->residentRun = missed ? 0 : p->residentRun + resident;
    for (;;) {
        if (p->stopping || p->next >= p->entries || velk_shutdown_signalled.load())
            return false;
        if (p->next < p->writerAt)
            p->next = p->writerAt; // the writer got there first
        if (p->next < p->writerAt + VELK_PREFETCH_WINDOW)
            break;
        p->waiting++;
        p->moved.wait(p->lock);
        p->waiting--;
    }
    // Members not in memory are claimed one at a time, so that the helpers
    // wait for the disk on the writer's next members together.
    claim->sample = p->residentRun >= VELK_PREFETCH_WARM_RUN;
    int64_t want = claim->sample ? VELK_PREFETCH_CLAIM : 1;
    int64_t last = std::min({p->next + want, p->writerAt + VELK_PREFETCH_WINDOW, p->entries});
    claim->count = 0;
    for (int64_t n = p->next; n < last; ++n) {
        if ((n < p->blockFirst || n >= p->blockFirst + p->blockCount) && !fillBlock(p, n)) {
            p->entries = n; // the index ends early: so does the look-ahead
            break;
        }
        memcpy(&claim->entries[claim->count++], p->block + static_cast<size_t>(n - p->blockFirst) * HIF_ENTRY_SIZE,
               HIF_ENTRY_SIZE);
    }
    p->next += claim->count;
    return claim->count > 0;
}

void *helper(void *arg)
{
    auto *p = static_cast<velk_prefetch_t *>(arg);
    Claim claim;
    int64_t resident = 0;
    bool missed = false;
    while (claimEntries(p, &claim, resident, missed)) {
        resident = 0;
        missed = false;
        for (int64_t i = 0; i < claim.count; ++i) {
            const hif_entry_t *entry = &claim.entries[i];
            if (!velk_IndexEntrySane(entry) || velk_Get32(entry->hent_type) != VTO_FILE)
                continue;
            char path[VELK_PATH_BUFSIZE];
            velk_FormIxEntryPathname(entry, path, sizeof path);
            velk_prefetch_found_t found = velk_MemberPrefetchProbe(path);
            if (found == VELK_PREFETCH_RESIDENT)
                resident++;
            else if (found == VELK_PREFETCH_ASKED)
                missed = true;
            // A warm run is sampled: the first file found in memory stands
            // for the whole claim; one that is not ends the sampling.
            if (claim.sample && !missed && found == VELK_PREFETCH_RESIDENT)
                break;
        }
    }
    return nullptr;
}

} // namespace

velk_prefetch_found_t velk_MemberPrefetchProbe(const char *path)
{
    // Only regular files are opened (never a device or a FIFO that replaced
    // one) and never through a symbolic link.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return VELK_PREFETCH_NONE;
    kyl_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return VELK_PREFETCH_NONE;
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_size == 0)
        return VELK_PREFETCH_NONE;
    uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(opened.st_size), VELK_PREFETCH_DATA);
    if (velk_MemberDataResident(fd.get(), length))
        return VELK_PREFETCH_RESIDENT;
    (void)posix_fadvise(fd.get(), 0, static_cast<off_t>(length), POSIX_FADV_WILLNEED);
    return VELK_PREFETCH_ASKED;
}

velk_prefetch_t *velk_MemberPrefetchStart(const char *indexPath, int64_t entryOffset, int64_t entries, int threads)
{
    if (indexPath == nullptr || entries <= 0 || threads <= 0 || entryOffset < 0)
        return nullptr;
    auto *p = static_cast<velk_prefetch_t *>(VELK_CALLOC(1, sizeof(velk_prefetch_t)));
    if (p == nullptr)
        return nullptr;
    if (p->lock.init() != 0) {
        VELK_FREE(p);
        return nullptr;
    }
    if (p->moved.init() != 0) {
        p->lock.destroy();
        VELK_FREE(p);
        return nullptr;
    }
    int fd = open(indexPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    {
        kyl_lock_guard lock(p->lock);
        p->indexFd = fd;
        p->entryOffset = entryOffset;
        p->entries = entries;
    }
    int wanted = fd >= 0 ? std::min(threads, VELK_PREFETCH_THREADS) : 0;
    while (p->threadCount < wanted) {
        if (pthread_create(&p->threads[p->threadCount], nullptr, helper, p) != 0)
            break; // fewer helpers, or none: only the look-ahead is smaller
        p->threadCount++;
    }
    if (p->threadCount == 0) {
        velk_MemberPrefetchStop(p);
        return nullptr;
    }
    kyl_lock_guard lock(p->lock);
    p->running = true;
    return p;
}

void velk_MemberPrefetchAdvance(velk_prefetch_t *p, int64_t ordinal)
{
    if (p == nullptr)
        return;
    bool wake;
    {
        kyl_lock_guard lock(p->lock);
        if (!p->running || ordinal <= p->writerAt)
            return;
        p->writerAt = ordinal;
        // Waiting helpers filled the window; they are woken for half of it
        // at once, long before the writer reaches the entries they claim.
        wake = p->waiting > 0 && ordinal + VELK_PREFETCH_WINDOW - p->next >= VELK_PREFETCH_WINDOW / 2;
    }
    if (wake)
        p->moved.broadcast();
}

void velk_MemberPrefetchStop(velk_prefetch_t *p)
{
    if (p == nullptr)
        return;
    {
        kyl_lock_guard lock(p->lock);
        p->stopping = true;
        p->running = false;
    }
    p->moved.broadcast();
    for (int i = 0; i < p->threadCount; ++i)
        pthread_join(p->threads[i], nullptr);
    {
        kyl_lock_guard lock(p->lock);
        if (p->indexFd >= 0)
            close(p->indexFd);
    }
    p->moved.destroy();
    p->lock.destroy();
    VELK_FREE(p);
}
