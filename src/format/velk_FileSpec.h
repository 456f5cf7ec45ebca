#ifndef VELK_FILESPEC_H
#define VELK_FILESPEC_H

// One record of the member table that member selection builds from the
// operands, list files and directory scans.  For actions that read local
// files the status fields are filled (haveStatInfo); for the others a record
// is only a name or a pattern.  The record owns filename and annotation.

#include <cstdint>

#include "velk_IndexFormat.h"

struct velk_FileSpec_t {
    unsigned haveStatInfo : 1; // the status fields below are filled
    unsigned hasWildcards : 1; // the name holds an unescaped "*", "?", "{", "[" or "!"
    unsigned globbed : 1;      // set by wildcard expansion
    unsigned excludeFlag : 1;  // reserved for exclusion
    char *filename;            // the path as it will be stored
    uint32_t objectType;       // VELK_OBJECT_TYPE
    uint64_t indexOrd;         // index ordinal
    char *annotation;          // annotation text, may be null
    int version;
    uint64_t size;  // bytes
    uint32_t mode;  // permission, set-ID and sticky bits (mode & 0xfff)
    uint64_t ctime; // change time, seconds
    uint64_t mtime; // modification time, seconds
    uint64_t uid;
    uint64_t gid;
    uint64_t nlink;
};

#endif
