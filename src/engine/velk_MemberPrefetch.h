// Look-ahead for the local archive writer.  The writer copies members one at
// a time, and with a cold cache most of a small member's time is the wait
// for its directory entry, inode and first data block.  Helper threads walk
// the temporary index a little ahead of the writer and, for every regular
// file member, look the file up and ask the kernel to start reading its
// first data, so that several of these reads are in flight while the writer
// copies.  With a warm cache that work buys nothing, so once a run of
// members was found in memory already the helpers only sample the first
// member of each batch they claim, and look every member up again as soon
// as one is not in memory.  The helpers only give hints: they never change
// a file, the archive or the index, and whatever they fail at, the writer
// does itself.
#ifndef VELK_MEMBERPREFETCH_H
#define VELK_MEMBERPREFETCH_H

#include <cstdint>

// Helper threads and how far ahead of the writer they may run, in entries.
constexpr int VELK_PREFETCH_THREADS = 4;
constexpr int64_t VELK_PREFETCH_WINDOW = 256;
// Bytes of each member's data asked for ahead (the writer asks for the rest
// itself, one chunk ahead).
constexpr uint64_t VELK_PREFETCH_DATA = uint64_t{1} << 20;
// The members found in memory in a row after which the helpers sample, and
// the entries a sampling helper claims at a time (only the first regular
// file of them is looked up); otherwise a helper claims one entry.
constexpr int64_t VELK_PREFETCH_CLAIM = 32;
constexpr int64_t VELK_PREFETCH_WARM_RUN = 64;

// A running look-ahead: its helpers, its descriptor of the index and what
// they share, behind its own lock.  Owned by the writer that started it.
struct velk_prefetch_t;

// Starts the helpers over entries 0..entries-1 of the index file at
// indexPath (opened again read-only, so the writer's own descriptor and
// reader are not disturbed); entries lie at entryOffset + 512 * ordinal.
// Returns the look-ahead with at least one helper, or null when none could
// be started (the copy runs without look-ahead).  Initial thread only.
velk_prefetch_t *velk_MemberPrefetchStart(const char *indexPath, int64_t entryOffset, int64_t entries, int threads);
// The writer is about to copy entry ordinal: helpers may run up to
// ordinal + VELK_PREFETCH_WINDOW.  Helpers that wait for room are woken
// only once half the window is free, so a writer ahead of the disk does
// not wake them for every member.  Does nothing for a null look-ahead.
void velk_MemberPrefetchAdvance(velk_prefetch_t *p, int64_t ordinal);
// Stops and joins the helpers, closes their descriptor and frees p.  Does
// nothing for a null look-ahead.
void velk_MemberPrefetchStop(velk_prefetch_t *p);

// What looking a member up found (velk_MemberPrefetchProbe).
enum velk_prefetch_found_t {
    VELK_PREFETCH_NONE = 0,     // nothing to read ahead (not a regular file with data, or gone)
    VELK_PREFETCH_RESIDENT = 1, // its first data are in memory already
    VELK_PREFETCH_ASKED = 2,    // not in memory (or not known): reading was asked for
};

// Looks the member file at path up without following a link, and when its
// first data are not in memory asks the kernel to read up to
// VELK_PREFETCH_DATA bytes of them.  Any thread.
velk_prefetch_found_t velk_MemberPrefetchProbe(const char *path);

#endif
