#!/usr/bin/env bash
# The map copy benchmarks, in one command. Builds what it needs, generates a
# package, then:
#   1. alternates the job (the module's export called by a bare program in the
#      device root), `pelk-mapcopy run --force` and the shell equivalent
#      (rm -rf MassStorage; cp -r SDMMC/PreDLMap MassStorage; cat every copied
#      file >/dev/null), warm cache, and prints the median of each and the
#      ratios to the shell's; then the floor (pelk_floor_job: the same work
#      with the fewest system calls, no name folding, no checks), timed in
#      the same alternation, and the ratio job/floor; then the same against
#      the floor that also keeps what the device's services keep (--keep: a
#      stat of each listed entry for its read-only attribute, the copy's
#      last-write time);
#   2. counts the instructions of `pelk-mapcopy seal` per summed byte under
#      valgrind --tool=callgrind;
#   3. measures the peak RSS of `pelk-mapcopy run` on a 10 MiB package and on
#      this one;
#   4. runs the Google Benchmark of the byte sum;
#   5. counts the system calls of the job, of the floor and of
#      `pelk-mapcopy run` per copied file under strace -f -c, over a package
#      of about 2,000 small files;
#   6. wide: the job's seconds per file on two packages of about 20,000 small
#      files alike but for their folders, 100 files each or 5,000 files each,
#      alternated, median of the runs, and job/floor on each;
#   7. write: `pelk-mapcopy write` of the package onto one card folder that
#      holds the last run's package, alternated with the shell's way (rm -rf
#      and cp -r onto the card, sync, sha256sum -c of the copy), median and
#      ratio; then the flushes of one write under strace -f -c -w (their
#      count and their share of its wall time). The card is a folder on disk
#      (--card DIR, default <build>/bench-card-PID), where a flush costs what
#      it costs; written with --any-volume, as it is seldom FAT.
#
#   bench/bench.sh [--shape default|small-files] [--size BYTES] [--runs N]
#                  [--build DIR] [--work DIR] [--card DIR]
#                  [--only copy|seal|rss|sum|syscalls|wide|write]
#
# Defaults: shape default, 1 GiB (small-files: 100 MiB), 7 runs, build/default,
# work folder /dev/shm/pelk-bench-PID (else <build>/bench-work-PID), removed at
# the end; one per run, so that runs at the same time leave each other alone.
set -euo pipefail
cd "$(dirname "$0")/.."

shape=default size= runs=7 build=build/default work= card= only=
while [ $# -gt 0 ]; do
  case "$1" in
    --shape) shape=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --card) card=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,39p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 64 ;;
  esac
done
if [ -z "$size" ]; then
  if [ "$shape" = small-files ]; then size=$((100 << 20)); else size=$((1 << 30)); fi
fi
# Warm cache: tmpfs where there is one, so that the disk's writeback of the
# copies (1 GiB per run) does not swamp what the two commands do.
if [ -z "$work" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=/dev/shm/pelk-bench-$$; else work=$build/bench-work-$$; fi
fi

if [ ! -f "$build/CMakeCache.txt" ]; then cmake --preset default >/dev/null; fi
targets="pelk-mapcopy pelk_make_package pelk_run_job pelk_floor_job"
if [ -z "$only" ] || [ "$only" = sum ]; then targets="$targets pelk_sum_benchmark"; fi
cmake --build "$build" --target $targets >/dev/null
tool=$(find "$build" -name pelk-mapcopy -type f -perm -u+x | head -1)
make_package=$build/bench/pelk_make_package
run_job=$(realpath "$build/bench/pelk_run_job")
floor_job=$(realpath "$build/bench/pelk_floor_job")
work=$(realpath -m "$work")
card=$(realpath -m "${card:-$build/bench-card-$$}")
trap 'rm -rf "$work" "$work"-* "$card"' EXIT

want() { [ -z "$only" ] || [ "$only" = "$1" ]; }

calc() { awk "BEGIN { printf \"%.6f\\n\", $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

make_device() { # folder size shape [files per folder]
  rm -rf "$1"
  mkdir -p "$1/SDMMC"
  "$make_package" "$1/SDMMC/PreDLMap" --size "$2" --shape "$3" --per-folder "${4:-200}" >/dev/null
  "$tool" seal "$1/SDMMC/PreDLMap" >/dev/null
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB RAM," \
  "$(df -T "$(dirname "$work")" | awk 'NR == 2 { print $2 }'), $(uname -sr)"
if want copy || want seal || want rss || want write; then
  make_device "$work" "$size" "$shape"
  files=$(find "$work/SDMMC/PreDLMap" -type f | wc -l)
  summed=$(find "$work/SDMMC/PreDLMap" -type f ! -iname checksum.ini ! -iname predlverno.ini -printf '%s\n' | awk '{ s += $1 } END { print s }')
  echo "package: shape $shape, $files files, $summed bytes summed"
fi

if want copy; then
  job() { (cd "$work" && "$run_job" >/dev/null); }
  floor() { (cd "$work" && "$floor_job"); }
  kept() { (cd "$work" && "$floor_job" --keep); }
  # --force: without the pre-flight that reads the whole package once before
  # the job; the tool still lists the package and MassStorage around it.
  run() { "$tool" run --force --device-root "$work" >/dev/null; }
  shell() { (cd "$work" && rm -rf MassStorage && cp -r SDMMC/PreDLMap MassStorage &&
             find MassStorage -type f -exec cat {} + >/dev/null); }
  job; run; shell; floor; kept # warm the cache
  : >"$work.job"; : >"$work.run"; : >"$work.shell"; : >"$work.floor"; : >"$work.kept"
  # Each line: wall, user and system seconds of one run (the command's own
  # stderr goes on to the terminal through fd 3).
  TIMEFORMAT='%R %U %S'
  for _ in $(seq "$runs"); do
    for command in job run shell floor kept; do
      { time $command 2>&3; } 3>&2 2>>"$work.$command"
    done
  done
  wall() { awk '{ print $1 }' "$work.$1" | median; }
  cpu() { awk '{ print $2 + $3 }' "$work.$1" | median; }
  job_median=$(wall job); run_median=$(wall run); shell_median=$(wall shell); floor_median=$(wall floor)
  job_cpu=$(cpu job); floor_cpu=$(cpu floor); kept_median=$(wall kept); kept_cpu=$(cpu kept)
  rm -f "$work.job" "$work.run" "$work.shell" "$work.floor" "$work.kept"
  echo
  echo "| shape | files | bytes | runs | job (median s) | pelk-mapcopy run (median s) | shell rm+cp+cat (median s) | job/shell | run/shell |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '| %s | %d | %d | %d | %.3f | %.3f | %.3f | %.2f | %.2f |\n' "$shape" "$files" "$summed" "$runs" \
    "$job_median" "$run_median" "$shell_median" "$(calc "$job_median / $shell_median")" \
    "$(calc "$run_median / $shell_median")"
  echo
  printf 'floor (median s): %.3f; job/floor: %.2f; run/floor: %.2f\n' "$floor_median" \
    "$(calc "$job_median / $floor_median")" "$(calc "$run_median / $floor_median")"
  # CPU time (user + system, median) moves less than wall time on a loaded machine.
  printf 'CPU time (median s): job %.3f, floor %.3f\n' "$job_cpu" "$floor_cpu"
  printf 'job/floor (%s shape, %d files): %.2f wall, %.2f CPU time\n' "$shape" "$files" \
    "$(calc "$job_median / $floor_median")" "$(calc "$job_cpu / $floor_cpu")"
  printf 'job/floor keeping attributes and times (floor %.3f s wall, %.3f s CPU): %.2f wall, %.2f CPU time\n' \
    "$kept_median" "$kept_cpu" "$(calc "$job_median / $kept_median")" "$(calc "$job_cpu / $kept_cpu")"
fi

if want seal; then
  instructions=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$tool" seal "$work/SDMMC/PreDLMap" 2>&1 |
                 sed -n 's/.*Collected : *//p')
  echo
  printf 'seal under callgrind: %d instructions for %d bytes = %.3f instructions per byte\n' \
    "$instructions" "$summed" "$(calc "$instructions / $summed")"
fi

if want rss; then
  small=$work-10MiB
  make_device "$small" $((10 << 20)) "$shape"
  rss_small=$( { /usr/bin/time -f %M "$tool" run --device-root "$small" >/dev/null; } 2>&1 | tail -1)
  rss_large=$( { /usr/bin/time -f %M "$tool" run --device-root "$work" >/dev/null; } 2>&1 | tail -1)
  rm -rf "$small"
  echo
  echo "peak RSS of run: ${rss_small} KiB at 10 MiB, ${rss_large} KiB at $summed bytes"
fi

if want sum; then
  echo
  "$build/bench/pelk_sum_benchmark" --benchmark_min_time=0.2 2>/dev/null
fi

if want syscalls; then
  command -v strace >/dev/null || { echo "bench.sh: syscalls needs strace (Debian: strace)" >&2; exit 69; }
  few=$work-syscalls
  make_device "$few" 2300000 small-files
  few_files=$(find "$few/SDMMC/PreDLMap" -type f | wc -l)
  "$tool" run --device-root "$few" >/dev/null # a stale target like every later run's
  per_file() { # title, strace output
    echo
    echo "system calls of $1 per copied file ($few_files files, small-files shape):"
    awk -v files="$few_files" '
      $NF == "total" { printf "  total %.1f\n", $4 / files; next }
      NR > 2 && $1 !~ /^-/ && $4 / files >= 0.05 { printf "  %-16s %.2f\n", $NF, $4 / files }' "$2"
  }
  (cd "$few" && strace -f -c -o "$few.job.strace" "$run_job" >/dev/null)
  (cd "$few" && strace -f -c -o "$few.floor.strace" "$floor_job")
  echo
  echo "system calls per copied file ($few_files files, small-files shape), the job beside the floor:"
  # Lines of strace -c: % time, seconds, usecs/call, calls, [errors,] name.
  awk -v files="$few_files" '
    FNR <= 2 || $1 ~ /^-/ { next }
    { calls[FILENAME == ARGV[1] ? "job" : "floor", $NF] += $4; names[$NF] = 1 }
    END {
      printf "  %-16s %7s %7s %7s\n", "", "job", "floor", "extra"
      for (name in names)
        if (name != "total" && (calls["job", name] / files >= 0.05 || calls["floor", name] / files >= 0.05))
          printf "  %-16s %7.2f %7.2f %7.2f\n", name, calls["job", name] / files,
                 calls["floor", name] / files, (calls["job", name] - calls["floor", name]) / files | "sort -k2,2gr"
      close("sort -k2,2gr")
      printf "  %-16s %7.1f %7.1f %7.1f\n", "total", calls["job", "total"] / files,
             calls["floor", "total"] / files, (calls["job", "total"] - calls["floor", "total"]) / files
    }' "$few.job.strace" "$few.floor.strace"
  strace -f -c -o "$few.strace" "$tool" run --device-root "$few" >/dev/null
  per_file "pelk-mapcopy run (its pre-flight reads the package once more)" "$few.strace"
  rm -rf "$few" "$few.strace" "$few.job.strace" "$few.floor.strace"
fi

if want wide; then
  # Same sizes, contents and file count (the generator's sizes do not depend
  # on the folders); only how many files share a folder differs.
  narrow=$work-100 wide=$work-5000
  make_device "$narrow" $((22 << 20)) small-files 100
  make_device "$wide" $((22 << 20)) small-files 5000
  wide_files=$(find "$wide/SDMMC/PreDLMap" -type f | wc -l)
  job_in() { (cd "$1" && "$run_job" >/dev/null); }
  floor_in() { (cd "$1" && "$floor_job"); }
  for device in "$narrow" "$wide"; do
    job_in "$device"; floor_in "$device" # warm, and a full target like every later run's
    : >"$device.job"; : >"$device.floor"
  done
  for _ in $(seq "$runs"); do
    for device in "$narrow" "$wide"; do
      for command in job floor; do
        start=$EPOCHREALTIME; "${command}_in" "$device"; calc "$EPOCHREALTIME - $start" >>"$device.$command"
      done
    done
  done
  narrow_job=$(median <"$narrow.job"); wide_job=$(median <"$wide.job")
  narrow_floor=$(median <"$narrow.floor"); wide_floor=$(median <"$wide.floor")
  rm -rf "$narrow" "$wide" "$narrow".* "$wide".*
  echo
  echo "wide folders: $wide_files small files, 100 per folder or 5,000 per folder, $runs runs, median"
  printf 'per file: 100/folder %.1f us, 5000/folder %.1f us, ratio %.2f\n' \
    "$(calc "$narrow_job / $wide_files * 1e6")" "$(calc "$wide_job / $wide_files * 1e6")" \
    "$(calc "$wide_job / $narrow_job")"
  printf 'job/floor: 100/folder %.2f (floor %.1f us per file), 5000/folder %.2f (floor %.1f us per file)\n' \
    "$(calc "$narrow_job / $narrow_floor")" "$(calc "$narrow_floor / $wide_files * 1e6")" \
    "$(calc "$wide_job / $wide_floor")" "$(calc "$wide_floor / $wide_files * 1e6")"
fi

if want write; then
  command -v strace sha256sum >/dev/null || { echo "bench.sh: write needs strace and sha256sum" >&2; exit 69; }
  package=$work/SDMMC/PreDLMap
  rm -rf "$card"; mkdir -p "$card"
  write() { "$tool" write --any-volume "$package" "$card" >/dev/null 2>&1; }
  shell() { rm -rf "$card/PreDLMap" && cp -r "$package" "$card/PreDLMap" && sync &&
            (cd "$card/PreDLMap" && sha256sum -c --quiet "$package.sha256"); }
  write; shell; write # a card that holds a package, as every later run's
  : >"$work.write"; : >"$work.shell"
  for _ in $(seq "$runs"); do
    for command in write shell; do
      start=$EPOCHREALTIME; $command; calc "$EPOCHREALTIME - $start" >>"$work.$command"
    done
  done
  write_median=$(median <"$work.write"); shell_median=$(median <"$work.shell")
  rm -f "$work.write" "$work.shell"
  echo
  echo "write to one card ($(df -T "$card" | awk 'NR == 2 { print $2 }')), $files files, $runs runs, median:"
  printf 'pelk-mapcopy write %.3f s; cp -r + sync + sha256sum -c %.3f s; write/shell %.2f\n' \
    "$write_median" "$shell_median" "$(calc "$write_median / $shell_median")"
  start=$EPOCHREALTIME
  strace -f -c -w -o "$work.strace" "$tool" write --any-volume "$package" "$card" >/dev/null 2>&1
  traced=$(calc "$EPOCHREALTIME - $start")
  # Lines of strace -c: % time, seconds, usecs/call, calls, [errors,] name.
  awk -v wall="$traced" '
    $NF == "fsync" || $NF == "syncfs" || $NF == "fdatasync" { calls += $4; seconds += $2 }
    END { printf "flushes of one write: %d calls, %.3f s of %.3f s under strace (%.0f%%)\n",
                 calls, seconds, wall, 100 * seconds / wall }' "$work.strace"
  rm -f "$work.strace"
fi
