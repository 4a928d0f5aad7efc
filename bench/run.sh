#!/usr/bin/env bash
# Measures zumrip against the floor of its work, interleaving the runs
# (A B A B ...) and reporting medians:
#   big entries    4 clips of 96 MiB, against cat of the same file
#   one large      1 clip of 512 MiB, against cat of the same file
#   design floor   the big entries through floor_onebuffer, the design's own
#                  work alone (huge-page buffer, one pread, one write), against cat
#   small entries  20,000 clips of 256 bytes, against floor_create making the
#                  same 20,000 files with one open, write and close each
#   peak memory    one 256 MiB clip: peak resident set size less the clip
#   patch one      zumpack --from replacing one 1-second clip of a 200 MiB
#                  resource (4 clips of 50 MiB), against cp of the resource
# Usage: bench/run.sh [RUNS]   (default 15 pairs per figure)
# ZUMRIP_BIN names another zumrip binary to measure, to compare versions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-15}
build=$root/build-bench

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUMRIP_TESTS=OFF -DZUMRIP_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target zumrip zumpack make_resource floor_create floor_onebuffer >/dev/null
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
dir=$(mktemp -d "$base/zumrip-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$build/bench/make_resource" "$dir/big.mrv" 4 $((96 << 20))
"$build/bench/make_resource" "$dir/small.mrv" 20000 256
"$build/bench/make_resource" "$dir/one.mrv" 1 $((256 << 20))
"$build/bench/make_resource" "$dir/large.mrv" 1 $((512 << 20))
"$build/bench/make_resource" "$dir/patch.mrv" 4 $((50 << 20))
"$build/bench/make_resource" "$dir/clip.mrv" 1 22050  # its clip C00000, as a WAV:
mkdir "$dir/wav" && (cd "$dir/wav" && "$build/zumrip" "$dir/clip.mrv" >/dev/null)

zumrip=${ZUMRIP_BIN:-$build/zumrip}
zumrip_big() { "$zumrip" "$dir/big.mrv" >/dev/null; }
cat_big() { cat "$dir/big.mrv" >big.out; }
floor_big() { "$build/bench/floor_onebuffer" "$dir/big.mrv"; }
zumrip_large() { "$zumrip" "$dir/large.mrv" >/dev/null; }
cat_large() { cat "$dir/large.mrv" >large.out; }
zumrip_small() { "$zumrip" "$dir/small.mrv" >/dev/null; }
floor_small() { "$build/bench/floor_create" 20000 300; }
zumpack_patch() { "$build/zumpack" --from "$dir/patch.mrv" patched.mrv "$dir/wav/C00000.WAV" >/dev/null; }
cp_patch() { cp "$dir/patch.mrv" patched.mrv; }

# Runs a function in an emptied output folder; prints the elapsed microseconds.
elapsed_us() {
  rm -rf "$dir/out" && mkdir "$dir/out" && cd "$dir/out"
  local t0=${EPOCHREALTIME/./}
  "$1"
  local t1=${EPOCHREALTIME/./}
  cd "$dir" && echo $((t1 - t0))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare LABEL A B: interleaved runs of A and B; median times and ratio A/B.
compare() {
  local label=$1 a=$2 b=$3 ta tb times_a="" times_b="" ratios=""
  elapsed_us "$a" >/dev/null && elapsed_us "$b" >/dev/null  # warm-up
  for ((i = 0; i < runs; i++)); do
    ta=$(elapsed_us "$a") && tb=$(elapsed_us "$b")
    times_a+="$ta"$'\n' times_b+="$tb"$'\n'
    ratios+=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f", a / b }')$'\n'
  done
  printf '%-14s %-13s %8.1f ms   %-13s %8.1f ms   ratio %.2f (median of %d pairs)\n' "$label" "$a" \
    "$(median <<<"$times_a" | awk '{ print $1 / 1000 }')" "$b" \
    "$(median <<<"$times_b" | awk '{ print $1 / 1000 }')" "$(median <<<"$ratios")" "$runs"
}

echo "machine: $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), files on $base"
compare "big entries" zumrip_big cat_big
compare "one large" zumrip_large cat_large
compare "design floor" floor_big cat_big
compare "small entries" zumrip_small floor_small
compare "patch one" zumpack_patch cp_patch

rm -rf "$dir/out" && mkdir "$dir/out" && cd "$dir/out"
peak_kib=$(/usr/bin/time -f %M "$zumrip" "$dir/one.mrv" 2>&1 >/dev/null | tail -n 1)
printf 'peak memory    %d KiB for a 262144 KiB clip: %d KiB above it\n' "$peak_kib" $((peak_kib - 262144))
