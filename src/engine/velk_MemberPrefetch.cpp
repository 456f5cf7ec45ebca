// Look-ahead helpers of the local archive writer (see the header).
//
// velk_PrefetchLock guards everything below; a helper holds it only to claim
// the next entry (refilling the shared entry block from the index when it is
// used up), never while it looks a file up.

#include "velk_MemberPrefetch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexFormat.h"

void (*velk_prefetch_visit_hook)(int64_t ordinal, int64_t writerAt) = nullptr;

namespace {

// Entries read from the index at a time.
constexpr int64_t kBlockEntries = 256;

std::mutex velk_PrefetchLock;
std::condition_variable prefetchMoved;    // the writer advanced, or stop
int prefetchIndexFd = -1;
int64_t prefetchEntryOffset = 0;
int64_t prefetchEntries = 0;
int64_t prefetchNext = 0;                  // next entry to claim
int64_t prefetchWriterAt = 0;              // entry the writer copies
bool prefetchStopping = false;
bool prefetchRunning = false;              // helpers started and not yet stopped
int prefetchWaiting = 0;                   // helpers waiting for the writer
std::vector<unsigned char> prefetchBlock;  // entries blockFirst.. of the index
int64_t prefetchBlockFirst = 0;
int64_t prefetchBlockCount = 0;
std::vector<std::thread> prefetchThreads;

// Reads the entries from ordinal on into prefetchBlock.  False at the end of
// the file or on an error (the look-ahead then ends; the writer is not
// concerned).  Called with velk_PrefetchLock held.
bool fillBlock(int64_t ordinal)
{
    int64_t count = std::min(kBlockEntries, prefetchEntries - ordinal);
    size_t want = static_cast<size_t>(count) * HIF_ENTRY_SIZE;
    prefetchBlock.resize(want);
    size_t have = 0;
    off_t at = static_cast<off_t>(prefetchEntryOffset + ordinal * static_cast<int64_t>(HIF_ENTRY_SIZE));
    while (have < want) {
        ssize_t n = pread(prefetchIndexFd, prefetchBlock.data() + have, want - have, at + static_cast<off_t>(have));
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
bool claimEntry(hif_entry_t *entry, int64_t *ordinal, int64_t *writerAt)
{
    std::unique_lock<std::mutex> lock(velk_PrefetchLock);
    for (;;) {
        if (prefetchStopping || prefetchNext >= prefetchEntries || velk_shutdown_signalled.load())
            return false;
        if (prefetchNext < prefetchWriterAt)
            prefetchNext = prefetchWriterAt;    // the writer got there first
        if (prefetchNext < prefetchWriterAt + VELK_PREFETCH_WINDOW)
            break;
        prefetchWaiting++;
        prefetchMoved.wait(lock);
        prefetchWaiting--;
    }
    int64_t n = prefetchNext;
    if (n < prefetchBlockFirst || n >= prefetchBlockFirst + prefetchBlockCount) {
        if (!fillBlock(n)) {
            prefetchNext = prefetchEntries;
            return false;
        }
    }
    memcpy(entry, prefetchBlock.data() + static_cast<size_t>(n - prefetchBlockFirst) * HIF_ENTRY_SIZE,
           HIF_ENTRY_SIZE);
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
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
        uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(opened.st_size), VELK_PREFETCH_DATA);
        (void)posix_fadvise(fd, 0, static_cast<off_t>(length), POSIX_FADV_WILLNEED);
    }
    close(fd);
}

void helper()
{
    hif_entry_t entry;
    int64_t ordinal = 0;
    int64_t writerAt = 0;
    while (claimEntry(&entry, &ordinal, &writerAt)) {
        if (velk_prefetch_visit_hook != nullptr)
            velk_prefetch_visit_hook(ordinal, writerAt);
        lookAhead(&entry);
    }
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
        std::lock_guard<std::mutex> lock(velk_PrefetchLock);
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
    for (int i = 0; i < threads; ++i) {
        try {
            prefetchThreads.emplace_back(helper);
        } catch (const std::system_error &) {
            break;    // fewer helpers, or none: only the look-ahead is smaller
        }
    }
    if (prefetchThreads.empty()) {
        velk_MemberPrefetchStop();
        return 0;
    }
    std::lock_guard<std::mutex> lock(velk_PrefetchLock);
    prefetchRunning = true;
    return static_cast<int>(prefetchThreads.size());
}

void velk_MemberPrefetchAdvance(int64_t ordinal)
{
    bool wake;
    {
        std::lock_guard<std::mutex> lock(velk_PrefetchLock);
        if (!prefetchRunning || ordinal <= prefetchWriterAt)
            return;
        prefetchWriterAt = ordinal;
        wake = prefetchWaiting > 0;
    }
    if (wake)
        prefetchMoved.notify_all();
}

void velk_MemberPrefetchStop()
{
    {
        std::lock_guard<std::mutex> lock(velk_PrefetchLock);
        prefetchStopping = true;
        prefetchRunning = false;
    }
    prefetchMoved.notify_all();
    for (std::thread &t : prefetchThreads)
        t.join();
    prefetchThreads.clear();
    std::lock_guard<std::mutex> lock(velk_PrefetchLock);
    if (prefetchIndexFd >= 0)
        close(prefetchIndexFd);
    prefetchIndexFd = -1;
    prefetchBlock.clear();
    prefetchBlock.shrink_to_fit();
    prefetchBlockCount = 0;
}
