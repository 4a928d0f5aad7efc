#!/usr/bin/env bash
# Measures what flushing to the disk costs: 2,000 clips of 256 bytes
# extracted into an empty folder, and again over the files of that run,
# by two zumrip binaries in turn (A B A B ...), in a folder on the disk to
# measure (not tmpfs). Reports medians and the ratio A/B pair by pair.
# Usage: bench/disk.sh DIR ZUMRIP_A ZUMRIP_B [RUNS]   (default 11 pairs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 3 ] || { echo "usage: bench/disk.sh DIR ZUMRIP_A ZUMRIP_B [RUNS]" >&2; exit 2; }
runs=${4:-11}
build=$root/build-bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUMRIP_TESTS=OFF -DZUMRIP_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target make_resource >/dev/null
dir=$(mktemp -d "$1/zumrip-disk-XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$build/bench/make_resource" "$dir/small.mrv" 2000 256
sync

# Runs binary $2 in folder out, emptied first when $1 is "empty"; prints
# the elapsed microseconds of the run alone.
elapsed_us() {
  [ "$1" = empty ] && rm -rf "$dir/out"
  mkdir -p "$dir/out" && cd "$dir/out" && sync
  local t0=${EPOCHREALTIME/./}
  "$2" "$dir/small.mrv" >/dev/null
  local t1=${EPOCHREALTIME/./}
  cd "$dir" && echo $((t1 - t0))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "machine: $(uname -srm), files on $(df --output=fstype "$dir" | tail -n 1) ($1)"
for folder in empty existing; do
  times_a="" times_b="" ratios=""
  elapsed_us empty "$2" >/dev/null  # warm-up, and the files to replace
  for ((i = 0; i < runs; i++)); do
    ta=$(elapsed_us "$folder" "$2") && tb=$(elapsed_us "$folder" "$3")
    times_a+="$ta"$'\n' times_b+="$tb"$'\n'
    ratios+=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f", a / b }')$'\n'
  done
  printf '2000 clips, %-8s folder: A %8.1f ms   B %8.1f ms   ratio A/B %.2f (median of %d pairs)\n' "$folder" \
    "$(median <<<"$times_a" | awk '{ print $1 / 1000 }')" "$(median <<<"$times_b" | awk '{ print $1 / 1000 }')" \
    "$(median <<<"$ratios")" "$runs"
done
