#!/usr/bin/env python3
"""Writes one deterministic benchmark data set.

The same kind, scale and seed always give the same names, sizes, contents and
modification times, so runs on different days and machines archive the same
bytes.  File contents are slices of one seeded random pool (incompressible, as
real data often is); sizes of small files follow a log-normal distribution
whose median is 8 KiB.

Kinds:
  small  20,000 files, log-normal around 8 KiB, in 20 directories
  mixed  10,000 such files in 10 directories plus 4 files of 256 MiB
  large  4 files of 512 MiB
  smoke  a few dozen files: small ones in 3 directories, an empty one and
         two of 1 MiB, for the smoke mode
--scale multiplies the file counts of the small files and the sizes of the big
ones (at least one file and one directory remain).

A finished set is marked by DIR.stamp (next to DIR, so that the stamp is not
archived) holding the parameters and totals as JSON; a set whose stamp matches
is reused, anything else at DIR is removed and written anew.
"""

import argparse
import json
import math
import os
import random
import shutil
import sys

POOL_BYTES = 16 << 20          # the random pool every file's content is cut from
SMALL_MEDIAN = 8 << 10         # median size of a small file
SMALL_SIGMA = 0.8              # log-normal shape: about 1 in 20 files above 30 KiB
SMALL_CAP = 4 << 20            # no small file above this
MTIME = 1700000000             # every file and directory gets this modification time
FORMAT_VERSION = 2             # bump when the layout or the content rule changes

KINDS = {
    # kind: (small files, directories, big files, bytes per big file)
    "small": (20_000, 20, 0, 0),
    "mixed": (10_000, 10, 4, 256 << 20),
    "large": (0, 0, 4, 512 << 20),
    "smoke": (30, 3, 2, 1 << 20),
}


def plan(kind, scale):
    """Returns (small file count, directory count, big file count, big file bytes)."""
    nsmall, ndirs, nbig, bigsize = KINDS[kind]
    if kind != "smoke" and scale != 1.0:
        if nsmall:
            nsmall = max(1, round(nsmall * scale))
            ndirs = max(1, min(ndirs, round(ndirs * scale)))
        if nbig:
            bigsize = max(4096, int(bigsize * scale))
    return nsmall, ndirs, nbig, bigsize


def write_from_pool(path, size, pool, offset):
    """Writes size bytes taken from the pool, cyclically, starting at offset."""
    with open(path, "wb") as f:
        view = memoryview(pool)
        left = size
        pos = offset % len(pool)
        while left > 0:
            n = min(left, len(pool) - pos, 1 << 20)
            f.write(view[pos:pos + n])
            left -= n
            pos = (pos + n) % len(pool)
    os.utime(path, (MTIME, MTIME))


def generate(kind, scale, seed, out):
    nsmall, ndirs, nbig, bigsize = plan(kind, scale)
    rng = random.Random(seed)
    pool = rng.randbytes(POOL_BYTES)
    os.makedirs(out)
    files = 0
    total = 0
    dirs = []
    if nsmall:
        width = max(3, len(str(ndirs - 1)))
        for d in range(ndirs):
            dirs.append(os.path.join(out, "d%0*d" % (width, d)))
            os.mkdir(dirs[-1])
        fwidth = max(6, len(str(nsmall - 1)))
        mu = math.log(SMALL_MEDIAN)
        for i in range(nsmall):
            size = min(SMALL_CAP, int(rng.lognormvariate(mu, SMALL_SIGMA)))
            if kind == "smoke" and i == 0:
                size = 0      # the smoke set carries one empty member
            path = os.path.join(dirs[i % ndirs], "f%0*d.dat" % (fwidth, i))
            write_from_pool(path, size, pool, rng.randrange(POOL_BYTES))
            files += 1
            total += size
    for i in range(nbig):
        path = os.path.join(out, "big%02d.bin" % i)
        write_from_pool(path, bigsize, pool, rng.randrange(POOL_BYTES))
        files += 1
        total += bigsize
    for d in dirs + [out]:
        os.utime(d, (MTIME, MTIME))
    return {"files": files, "directories": len(dirs) + 1, "bytes": total}


def main(argv):
    ap = argparse.ArgumentParser(description="Write a deterministic benchmark data set.")
    ap.add_argument("--kind", required=True, choices=sorted(KINDS))
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--out", required=True, help="directory to create (its parent must exist)")
    args = ap.parse_args(argv)
    if not (0 < args.scale <= 1.0):
        ap.error("--scale must be in (0, 1]")

    out = os.path.abspath(args.out.rstrip("/"))
    stamp = out + ".stamp"
    params = {"format": FORMAT_VERSION, "kind": args.kind, "scale": args.scale, "seed": args.seed}
    try:
        with open(stamp) as f:
            old = json.load(f)
        if {k: old.get(k) for k in params} == params and os.path.isdir(out):
            print(json.dumps(old))
            return 0
    except (OSError, ValueError):
        pass
    if os.path.lexists(stamp):
        os.unlink(stamp)
    if os.path.lexists(out):
        shutil.rmtree(out)
    totals = generate(args.kind, args.scale, args.seed, out)
    record = dict(params, **totals)
    with open(stamp + ".tmp", "w") as f:
        json.dump(record, f)
    os.replace(stamp + ".tmp", stamp)
    print(json.dumps(record))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
