#ifndef GW_COS_H
#define GW_COS_H

// Classes of service: the "COS" section of kylgwd's configuration file,
// one sub-section per class named by its id,
//
//   COS = {
//       11 = { name = default  width = 2  block = 1048576  min = 0  max = 0
//              tape = no  default = yes }
//   }
//
// (one key per line in the file).  width is the stripe width W, block the
// block size B (stripe length W x B, also the optimum access size), min and
// max the file sizes the class is chosen for (max 0: no upper bound), tape
// "yes" for a class whose first level is tape.  The table must hold class
// 11 (the client's fallback) and exactly one default.  Without a COS
// section kylgwd uses a built-in table: 1 (W=1), 2 (W=2), 4 (W=4, B=1 MiB),
// 8 (W=8, B=768 KiB), 11 (W=2, the default), 65 (W=65).  Loaded on the main
// thread at start-up, read-only afterwards: no locks.

#include <kylgw_xdr_fs.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct quor_cfg_stanza_t;

constexpr size_t GW_COS_MAX = 256;         // classes in one table
constexpr uint32_t GW_COS_WIDTH_MAX = 256; // stripe width
constexpr uint32_t GW_COS_FALLBACK = 11;   // the class every table must hold

struct gw_cos_t {
    uint32_t id;
    char name[QUOR_COSNAME_SIZE];
    uint32_t width;
    uint64_t block;
    uint64_t minSize;
    uint64_t maxSize; // 0: no upper bound
    bool tape;
    bool isDefault;
};

struct gw_costable_t {
    const gw_cos_t *items;
    size_t count;
};

// Builds a table from a "COS" section.  Returns 0 with *out set (free it
// with gw_CosFree), or -1 with "FILE:LINE: message" in *err.
[[nodiscard]] int gw_CosLoad(const char *fileName, const quor_cfg_stanza_t *section, gw_costable_t **out,
                             std::string *err);
void gw_CosFree(gw_costable_t *t);

// The built-in table (static, never freed).
const gw_costable_t *gw_CosBuiltin();

// The class with that id, or null.
const gw_cos_t *gw_CosFind(const gw_costable_t *t, uint32_t id);
// The default class (every loaded table has one).
const gw_cos_t *gw_CosDefault(const gw_costable_t *t);
// The first class, in table order, whose [min, max] covers size, or the
// default class.
const gw_cos_t *gw_CosForSize(const gw_costable_t *t, uint64_t size);

// Fills hints with what the class is: id, name, stripe width and length,
// optimum access size.  Other fields are left as they are.
void gw_CosToHints(const gw_cos_t *c, quor_cos_hints_t *hints);

#endif
