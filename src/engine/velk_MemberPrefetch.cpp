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
#include <unistd.h>

#include "kyl_mutex.h"
#include "kyl_fd.h"
#include "velk_Globals.h"
#include "velk_IndexFormat.h"
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

// Claims the next entry within the window, waiting for the writer when the
// window is used up.  False when the look-ahead is over.
bool claimEntry(velk_prefetch_t *p, hif_entry_t *entry) KYL_EXCLUDES(p->lock)
{
    kyl_lock_guard lock(p->lock);
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
    int64_t n = p->next;
    if (n < p->blockFirst || n >= p->blockFirst + p->blockCount) {
        if (!fillBlock(p, n)) {
            p->next = p->entries;
            return false;
        }
    }
    memcpy(entry, p->block + static_cast<size_t>(n - p->blockFirst) * HIF_ENTRY_SIZE, HIF_ENTRY_SIZE);
    p->next = n + 1;
    return true;
}

// Brings a regular file member's inode and first data toward memory.  Only
// regular files are opened (never a device or a FIFO that replaced one) and
// never through a symbolic link.
void lookAhead(const hif_entry_t *entry)
{
    if (!velk_IndexEntrySane(entry) || velk_Get32(entry->hent_type) != VTO_FILE)
        return;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    kyl_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return;
    struct stat opened;
    if (fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode)) {
        uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(opened.st_size), VELK_PREFETCH_DATA);
        (void)posix_fadvise(fd.get(), 0, static_cast<off_t>(length), POSIX_FADV_WILLNEED);
    }
}

void *helper(void *arg)
{
    auto *p = static_cast<velk_prefetch_t *>(arg);
    hif_entry_t entry;
    while (claimEntry(p, &entry))
        lookAhead(&entry);
    return nullptr;
}

} // namespace

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
        wake = p->waiting > 0;
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
