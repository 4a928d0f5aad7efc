#!/usr/bin/env bash
# Measures a run into a folder that already holds the files of an earlier
# run, where every name exists and the folder's listing decides what each
# reaches; medians of RUNS second runs, on /dev/shm when present:
#   65,535 clips        C00000 ... C65534, the largest resource there is
#   32,768 aliases      names like 00000~1, which look like short aliases
#   16,000 case pairs   a000000 and A000000, ... (two files each on ext4)
# Usage: bench/folder.sh [RUNS]   (default 3)
# ZUMRIP_BIN names another zumrip binary to measure, to compare versions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
build=$root/build-bench

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUMRIP_TESTS=OFF -DZUMRIP_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target zumrip make_resource >/dev/null
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
dir=$(mktemp -d "$base/zumrip-folder-XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$build/bench/make_resource" "$dir/many.mrv" 65535 16
"$build/bench/make_resource" "$dir/aliases.mrv" 32768 16 '%05u~1'
"$build/bench/make_resource" "$dir/pairs.mrv" 16000 16 'a%06u' pairs
zumrip=${ZUMRIP_BIN:-$build/zumrip}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "machine: $(uname -srm), $(nproc) cores, files on $base, $zumrip"
for shape in many aliases pairs; do
  rm -rf "$dir/out" && mkdir "$dir/out" && cd "$dir/out"
  "$zumrip" "$dir/$shape.mrv" >/dev/null
  times=""
  for ((i = 0; i < runs; i++)); do
    t0=${EPOCHREALTIME/./}
    "$zumrip" "$dir/$shape.mrv" >/dev/null
    t1=${EPOCHREALTIME/./}
    times+="$((t1 - t0))"$'\n'
  done
  printf '%-8s second run %10.1f ms (median of %d)\n' "$shape" "$(median <<<"$times" | awk '{ print $1 / 1000 }')" "$runs"
  cd "$dir"
done
