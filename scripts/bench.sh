#!/usr/bin/env bash
# Configures a Release build in build-bench, builds the benchmarks (bench/*.cpp)
# and runs each, printing its figures and the ratios it computes. The
# figures in docs/performance.md come from this command.
#
#   BENCH_REPETITIONS  runs of each benchmark; the ratios use the median (default 5)
#   BENCH_TARGETS      names to run, e.g. "runtime_bench payload_bench" (default all)
#   BENCH_BUILD_DIR    build directory (default build-bench)
#
# Extra arguments go to every benchmark program, e.g.
#   scripts/bench.sh --benchmark_min_time=2
# Each program's output is also kept in <build>/bench-results/<name>.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build="${BENCH_BUILD_DIR:-build-bench}"
repetitions="${BENCH_REPETITIONS:-5}"
targets="${BENCH_TARGETS:-$(for f in bench/*.cpp; do basename "$f" .cpp; done)}"

# Tests are not needed to measure; leaving them out keeps the build short.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEL_SANITIZE= \
  -DORVEL_BUILD_BENCHMARKS=ON -DORVEL_BUILD_TESTS=OFF
# shellcheck disable=SC2086
cmake --build "$build" --parallel "$(nproc)" --target $targets

results="$build/bench-results"
mkdir -p "$results"
{
  echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit:  $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores"
  echo "system:  $(uname -sr)"
  echo "build:   Release ($(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt"))"
  echo "load:    $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$results/machine.txt"

for name in $targets; do
  echo
  echo "== $name"
  "$build/bench/$name" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true "$@" |
    tee "$results/$name.txt"
done
