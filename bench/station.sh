#!/usr/bin/env bash
# station against write: the same sealed package onto four tmpfs cards,
# once by `pelk-mapcopy write --any-volume PKG c1 c2 c3 c4` and once by a
# station that takes the four as they are mounted below its watched folder
# (from its start to its exit after Ctrl-C, package check, writes, read-backs
# and the four unmounts included). Alternated, median of the runs. Needs root
# (it mounts tmpfs volumes).
#
#   bench/station.sh [--size MIB] [--runs N] [--build DIR]
#
# Defaults: 256 MiB in 8 files, 3 runs, build/default; work folder
# /dev/shm/pelk-station-PID (else /tmp), removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

size=256 runs=3 build=build/default
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: bench/station.sh [--size MIB] [--runs N] [--build DIR]" >&2; exit 64 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "bench/station.sh: needs root, to mount tmpfs cards" >&2; exit 77; }
tool=$(realpath "$build/src/pelk-mapcopy")
[ -x "$tool" ] || { echo "bench/station.sh: no $tool; build first" >&2; exit 66; }
base=/dev/shm; [ -d "$base" ] || base=/tmp
work=$base/pelk-station-$$
cleanup() {
  [ -n "${station:-}" ] && kill "$station" 2>/dev/null || true
  for point in "$work"/write/c? "$work"/slots/c?; do umount -q "$point" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/pkg/PreDLMap/Map" "$work/write" "$work/slots"
files=8
for i in $(seq 1 $files); do
  head -c $((size * 1024 * 1024 / files)) /dev/urandom > "$work/pkg/PreDLMap/Map/T$i.map"
done
"$tool" seal "$work/pkg/PreDLMap" >/dev/null
card_size=$((size * 2 + 16))m

now() { date +%s.%N; }
mount_cards() { for c in c1 c2 c3 c4; do mkdir -p "$1/$c"; mount -t tmpfs -o size=$card_size tmpfs "$1/$c"; done; }

time_write() {
  mount_cards "$work/write"
  local start end
  start=$(now)
  "$tool" write --any-volume "$work/pkg/PreDLMap" "$work"/write/c1 "$work"/write/c2 "$work"/write/c3 \
    "$work"/write/c4 >/dev/null 2>&1
  end=$(now)
  for c in c1 c2 c3 c4; do umount "$work/write/$c"; done
  echo "$end - $start" | bc
}

time_station() {
  local start end line good=0
  start=$(now)
  exec 3< <("$tool" station --any-volume --watch "$work/slots" "$work/pkg/PreDLMap" 2>&1 & echo "pid $!"; wait)
  read -r -u 3 line; station=${line#pid }
  while read -r -u 3 line; do case "$line" in *"waiting for cards"*) break ;; esac; done
  mount_cards "$work/slots"
  while [ $good -lt 4 ] && read -r -u 3 line; do
    case "$line" in *": good: remove") good=$((good + 1)) ;; *"NOT GOOD"*) echo "$line" >&2 ;; esac
  done
  kill -INT "$station"
  while read -r -u 3 line; do :; done
  exec 3<&-
  end=$(now)
  station=
  echo "$end - $start" | bc
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

writes=() stations=()
for run in $(seq 1 "$runs"); do
  writes+=("$(time_write)")
  stations+=("$(time_station)")
  echo "run $run: write ${writes[-1]} s, station ${stations[-1]} s" >&2
done
w=$(printf '%s\n' "${writes[@]}" | median)
s=$(printf '%s\n' "${stations[@]}" | median)
echo "package: $size MiB in $files files; four tmpfs cards; median of $runs runs"
printf 'write   (four cards named at once)          %8.3f s\n' "$w"
printf 'station (four cards mounted, then Ctrl-C)   %8.3f s\n' "$s"
printf 'station / write                             %8.2f\n' "$(echo "$s / $w" | bc -l)"
