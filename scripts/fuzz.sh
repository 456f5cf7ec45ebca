#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ (AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS (default 30)
# seconds over a copy of its
# saved corpus in fuzz/corpus/<target>/.  Fails on the first crash, leak or
# sanitizer report; the input that caused it is kept in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(fuzz_msghdr fuzz_reply_bodies fuzz_tar_header fuzz_tar_ext fuzz_index fuzz_listfile fuzz_mvrprot fuzz_xfer_records
         fuzz_match fuzz_siteconf fuzz_expire fuzz_exclude)

# Extra libFuzzer flags per target.  The format and list-file targets report refused
# headers, index files and lists on the console like the archiver does; their
# output is closed so that the log holds only libFuzzer's own lines (crash
# reports still reach it); so do the site configuration and expiration rule
# targets.  Input sizes are bounded near the largest input each parser reads
# whole, so that 30 seconds go to inputs that matter: a mover layout is at
# most 84 bytes, a brace pattern at most 1024.
declare -A extra_flags=([fuzz_tar_header]="-close_fd_mask=3" [fuzz_index]="-close_fd_mask=3"
                           [fuzz_listfile]="-close_fd_mask=3" [fuzz_mvrprot]="-max_len=96"
                           [fuzz_xfer_records]="-max_len=2048" [fuzz_match]="-max_len=1100"
                           [fuzz_siteconf]="-close_fd_mask=3 -max_len=4096"
                           [fuzz_expire]="-close_fd_mask=3 -max_len=2048"
                           [fuzz_exclude]="-close_fd_mask=3 -max_len=9000")

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DVELK_SANITIZE=ON -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF "-DVELK_WERROR=${VELK_WERROR:-OFF}"
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

seconds="${FUZZ_SECONDS:-30}"
mkdir -p build-fuzz/crashes
for target in "${targets[@]}"; do
  work="build-fuzz/corpus-run/$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$target"/* "$work"/
  echo "fuzzing $target for $seconds seconds"
  # shellcheck disable=SC2086  # the extra flags are separate words
  if ! build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 ${extra_flags[$target]:-} \
         -artifact_prefix="build-fuzz/crashes/$target-" "$work" > "build-fuzz/$target.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.log" >&2
    echo "fuzz target $target failed; see build-fuzz/crashes/ and build-fuzz/$target.log" >&2
    exit 1
  fi
  tail -n 2 "build-fuzz/$target.log"
done
echo "fuzzing passed"
