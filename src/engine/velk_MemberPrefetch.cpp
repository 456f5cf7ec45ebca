// Look-ahead helpers of the local archive writer (see the header).
//
// velk_PrefetchLock guards the shared state below; a helper holds it only to
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

void (*velk_prefetch_visit_hook)(int64_t ordinal, int64_t writerAt) = nullptr;

namespace {

// Entries read from the index at a time.
constexpr int64_t kBlockEntries = 256;

kyl_mutex_t velk_PrefetchLock;
kyl_cond_t prefetchMoved; // the writer advanced, or stop
int prefetchIndexFd KYL_GUARDED_BY(velk_PrefetchLock) = -1;
int64_t prefetchEntryOffset KYL_GUARDED_BY(velk_PrefetchLock) = 0;
int64_t prefetchEntries KYL_GUARDED_BY(velk_PrefetchLock) = 0;
int64_t prefetchNext KYL_GUARDED_BY(velk_PrefetchLock) = 0;     // next entry to claim
int64_t prefetchWriterAt KYL_GUARDED_BY(velk_PrefetchLock) = 0; // entry the writer copies
bool prefetchStopping KYL_GUARDED_BY(velk_PrefetchLock) = false;
bool prefetchRunning KYL_GUARDED_BY(velk_PrefetchLock) = false; // helpers started and not yet stopped
int prefetchWaiting KYL_GUARDED_BY(velk_PrefetchLock) = 0;      // helpers waiting for the writer
// Entries blockFirst.. of the index.
unsigned char prefetchBlock[kBlockEntries * HIF_ENTRY_SIZE] KYL_GUARDED_BY(velk_PrefetchLock);
int64_t prefetchBlockFirst KYL_GUARDED_BY(velk_PrefetchLock) = 0;
int64_t prefetchBlockCount KYL_GUARDED_BY(velk_PrefetchLock) = 0;

// The helper threads; started and joined by the writer's thread only.
pthread_t prefetchThreads[VELK_PREFETCH_THREADS];
int prefetchThreadCount = 0;

// Reads the entries from ordinal on into prefetchBlock.  False at the end of
// the file or on an error (the look-ahead then ends; the writer is not
// concerned).  Called with velk_PrefetchLock held.
bool fillBlock(int64_t ordinal) KYL_REQUIRES(velk_PrefetchLock)
{
    int64_t count = std::min(kBlockEntries, prefetchEntries - ordinal);
    size_t want = static_cast<size_t>(count) * HIF_ENTRY_SIZE;
    size_t have = 0;
    off_t at = static_cast<off_t>(prefetchEntryOffset + ordinal * static_cast<int64_t>(HIF_ENTRY_SIZE));
    while (have < want) {
        ssize_t n = pread(prefetchIndexFd, prefetchBlock + have, want - have, at + static_cast<off_t>(have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
    }
    prefetchBlockFirst = ordinal;
    prefetchBlockCount = static_cast<int64_t>(have / HIF_ENTRY_SIZE);
    return prefetchBlockCount > 0;
}

// Claims the next entry within the window, waiting for the writer when the
// window is used up.  False when the look-ahead is over.
bool claimEntry(hif_entry_t *entry, int64_t *ordinal, int64_t *writerAt) KYL_EXCLUDES(velk_PrefetchLock)
{
    kyl_lock_guard lock(velk_PrefetchLock);
    for (;;) {
        if (prefetchStopping || prefetchNext >= prefetchEntries || velk_shutdown_signalled.load())
            return false;
        if (prefetchNext < prefetchWriterAt)
            prefetchNext = prefetchWriterAt; // the writer got there first
        if (prefetchNext < prefetchWriterAt + VELK_PREFETCH_WINDOW)
            break;
        prefetchWaiting++;
        prefetchMoved.wait(velk_PrefetchLock);
        prefetchWaiting--;
    }
    int64_t n = prefetchNext;
    if (n < prefetchBlockFirst || n >= prefetchBlockFirst + prefetchBlockCount) {
        if (!fillBlock(n)) {
            prefetchNext = prefetchEntries;
            return false;
        }
    }
    memcpy(entry, prefetchBlock + static_cast<size_t>(n - prefetchBlockFirst) * HIF_ENTRY_SIZE, HIF_ENTRY_SIZE);
    prefetchNext = n + 1;
    *ordinal = n;
    *writerAt = prefetchWriterAt;
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

void *helper(void *)
{
    hif_entry_t entry;
    int64_t ordinal = 0;
    int64_t writerAt = 0;
    while (claimEntry(&entry, &ordinal, &writerAt)) {
        if (velk_prefetch_visit_hook != nullptr)
            velk_prefetch_visit_hook(ordinal, writerAt);
        lookAhead(&entry);
    }
    return nullptr;
}

} // namespace

int velk_MemberPrefetchStart(const char *indexPath, int64_t entryOffset, int64_t entries, int threads)
{
    velk_MemberPrefetchStop();
    if (indexPath == nullptr || entries <= 0 || threads <= 0 || entryOffset < 0)
        return 0;
    int fd = open(indexPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    {
        kyl_lock_guard lock(velk_PrefetchLock);
        prefetchIndexFd = fd;
        prefetchEntryOffset = entryOffset;
        prefetchEntries = entries;
        prefetchNext = 0;
        prefetchWriterAt = 0;
        prefetchStopping = false;
        prefetchWaiting = 0;
        prefetchBlockFirst = 0;
        prefetchBlockCount = 0;
    }
    int wanted = std::min(threads, VELK_PREFETCH_THREADS);
    while (prefetchThreadCount < wanted) {
        if (pthread_create(&prefetchThreads[prefetchThreadCount], nullptr, helper, nullptr) != 0)
            break; // fewer helpers, or none: only the look-ahead is smaller
        prefetchThreadCount++;
    }
    if (prefetchThreadCount == 0) {
        velk_MemberPrefetchStop();
        return 0;
    }
    kyl_lock_guard lock(velk_PrefetchLock);
    prefetchRunning = true;
    return prefetchThreadCount;
}

void velk_MemberPrefetchAdvance(int64_t ordinal)
{
    bool wake;
    {
        kyl_lock_guard lock(velk_PrefetchLock);
        if (!prefetchRunning || ordinal <= prefetchWriterAt)
            return;
        prefetchWriterAt = ordinal;
        wake = prefetchWaiting > 0;
    }
    if (wake)
        prefetchMoved.broadcast();
}

void velk_MemberPrefetchStop()
{
    {
        kyl_lock_guard lock(velk_PrefetchLock);
        prefetchStopping = true;
        prefetchRunning = false;
    }
    prefetchMoved.broadcast();
    for (int i = 0; i < prefetchThreadCount; ++i)
        pthread_join(prefetchThreads[i], nullptr);
    prefetchThreadCount = 0;
    kyl_lock_guard lock(velk_PrefetchLock);
    if (prefetchIndexFd >= 0)
        close(prefetchIndexFd);
    prefetchIndexFd = -1;
    prefetchBlockCount = 0;
}
