#!/usr/bin/env bash
# The map copy benchmarks, in one command. Builds what it needs, generates a
# package, then:
#   1. alternates the job (the module's export called by a bare program in the
#      device root), `pelk-mapcopy run --force` and the shell equivalent
#      (rm -rf MassStorage; cp -r SDMMC/PreDLMap MassStorage; cat every copied
#      file >/dev/null), warm cache, and prints the median of each and the
#      ratios to the shell's;
#   2. counts the instructions of `pelk-mapcopy seal` per summed byte under
#      valgrind --tool=callgrind;
#   3. measures the peak RSS of `pelk-mapcopy run` on a 10 MiB package and on
#      this one;
#   4. runs the Google Benchmark of the byte sum;
#   5. counts the system calls of the job and of `pelk-mapcopy run` per copied
#      file under strace -f -c, over a package of about 2,000 small files.
#
#   bench/bench.sh [--shape default|small-files] [--size BYTES] [--runs N]
#                  [--build DIR] [--work DIR] [--only copy|seal|rss|sum|syscalls]
#
# Defaults: shape default, 1 GiB (small-files: 100 MiB), 7 runs, build/default,
# work folder /dev/shm/pelk-bench (else <build>/bench-work), removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

shape=default size= runs=7 build=build/default work= only=
while [ $# -gt 0 ]; do
  case "$1" in
    --shape) shape=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 64 ;;
  esac
done
if [ -z "$size" ]; then
  if [ "$shape" = small-files ]; then size=$((100 << 20)); else size=$((1 << 30)); fi
fi
# Warm cache: tmpfs where there is one, so that the disk's writeback of the
# copies (1 GiB per run) does not swamp what the two commands do.
if [ -z "$work" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=/dev/shm/pelk-bench; else work=$build/bench-work; fi
fi

if [ ! -f "$build/CMakeCache.txt" ]; then cmake --preset default >/dev/null; fi
targets="pelk-mapcopy pelk_make_package pelk_run_job"
if [ -z "$only" ] || [ "$only" = sum ]; then targets="$targets pelk_sum_benchmark"; fi
cmake --build "$build" --target $targets >/dev/null
tool=$(find "$build" -name pelk-mapcopy -type f -perm -u+x | head -1)
make_package=$build/bench/pelk_make_package
run_job=$(realpath "$build/bench/pelk_run_job")
work=$(realpath -m "$work")
trap 'rm -rf "$work"' EXIT

want() { [ -z "$only" ] || [ "$only" = "$1" ]; }

calc() { awk "BEGIN { printf \"%.6f\\n\", $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

make_device() { # folder size shape
  rm -rf "$1"
  mkdir -p "$1/SDMMC"
  "$make_package" "$1/SDMMC/PreDLMap" --size "$2" --shape "$3" >/dev/null
  "$tool" seal "$1/SDMMC/PreDLMap" >/dev/null
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB RAM," \
  "$(df -T "$(dirname "$work")" | awk 'NR == 2 { print $2 }'), $(uname -sr)"
if want copy || want seal || want rss; then
  make_device "$work" "$size" "$shape"
  files=$(find "$work/SDMMC/PreDLMap" -type f | wc -l)
  summed=$(find "$work/SDMMC/PreDLMap" -type f ! -iname checksum.ini ! -iname predlverno.ini -printf '%s\n' | awk '{ s += $1 } END { print s }')
  echo "package: shape $shape, $files files, $summed bytes summed"
fi

if want copy; then
  job() { (cd "$work" && "$run_job" >/dev/null); }
  # --force: without the pre-flight that reads the whole package once before
  # the job; the tool still lists the package and MassStorage around it.
  run() { "$tool" run --force --device-root "$work" >/dev/null; }
  shell() { (cd "$work" && rm -rf MassStorage && cp -r SDMMC/PreDLMap MassStorage &&
             find MassStorage -type f -exec cat {} + >/dev/null); }
  job; run; shell # warm the cache
  : >"$work.job"; : >"$work.run"; : >"$work.shell"
  for _ in $(seq "$runs"); do
    for command in job run shell; do
      start=$EPOCHREALTIME; $command; calc "$EPOCHREALTIME - $start" >>"$work.$command"
    done
  done
  job_median=$(median <"$work.job"); run_median=$(median <"$work.run"); shell_median=$(median <"$work.shell")
  rm -f "$work.job" "$work.run" "$work.shell"
  echo
  echo "| shape | files | bytes | runs | job (median s) | pelk-mapcopy run (median s) | shell rm+cp+cat (median s) | job/shell | run/shell |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '| %s | %d | %d | %d | %.3f | %.3f | %.3f | %.2f | %.2f |\n' "$shape" "$files" "$summed" "$runs" \
    "$job_median" "$run_median" "$shell_median" "$(calc "$job_median / $shell_median")" \
    "$(calc "$run_median / $shell_median")"
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
      $NF == "total" { printf "  total %.1f\n", $(NF - 2) / files; next }
      NR > 2 && $1 !~ /^-/ && $4 / files >= 0.05 { printf "  %-16s %.2f\n", $NF, $4 / files }' "$2"
  }
  (cd "$few" && strace -f -c -o "$few.strace" "$run_job" >/dev/null)
  per_file "the job" "$few.strace"
  strace -f -c -o "$few.strace" "$tool" run --device-root "$few" >/dev/null
  per_file "pelk-mapcopy run (its pre-flight reads the package once more)" "$few.strace"
  rm -rf "$few" "$few.strace"
fi
