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
    // Identity of the object when its status was taken, so that the file a
    // create later opens, and the one -H rmlocal removes, can be told to be
    // the one listed: device, inode and the sub-second parts of the times.
    uint64_t dev;
    uint64_t ino;
    uint32_t ctimeNsec;
    uint32_t mtimeNsec;
    // Leading characters of filename that name the directory the operand
    // was given in (0: the working directory).  That part is resolved as
    // given, symbolic links included; everything below it is reached
    // without following links.
    uint32_t operandDirLen;
};

#endif
