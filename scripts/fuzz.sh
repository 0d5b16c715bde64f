#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/*.cpp) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs each for a
# bounded time on a working copy of its seed corpus (fuzz/corpus/<name>/).
# Exits non-zero when any target crashes, leaks, hangs or trips a sanitizer;
# the input that did it is kept in the build directory.
#
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_TARGETS   names to run, e.g. "payload version_compare" (default all)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
#
# New inputs libFuzzer finds go to <build>/fuzz-corpus/<name>/ and are
# reused by later runs; the repository's seeds are never written. To rerun
# one failing input: <build>/fuzz/fuzz_<name> <file>
#
# A target whose source has a line "// fuzz-versions: 9.3 13.0" runs once
# per version, each with ORVEL_SYSTEM_VERSION set (rerun a failing input the
# same way).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
targets="${FUZZ_TARGETS:-$(for f in fuzz/*.cpp; do basename "$f" .cpp; done)}"

# -O1 keeps the stacks readable and the instrumentation cheap; static
# libraries spare the dynamic loader and let the coverage counters of every
# layer live in the one executable.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DORVEL_SANITIZE=address,undefined \
  -DBUILD_SHARED_LIBS=OFF \
  -DORVEL_BUILD_FUZZERS=ON \
  -DORVEL_BUILD_TESTS=OFF \
  -DORVEL_BUILD_BENCHMARKS=OFF
cmake --build "$build" --target orvel_fuzzers --parallel "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
summary=()
# "name" or "name@version" for each run.
runs=()
for name in $targets; do
  versions=$(sed -n 's|^// fuzz-versions:[[:space:]]*||p' "fuzz/$name.cpp" 2>/dev/null || true)
  if [ -z "$versions" ]; then
    runs+=("$name")
  else
    for version in $versions; do runs+=("$name@$version"); done
  fi
done

for run in "${runs[@]}"; do
  name="${run%@*}"
  version=""
  [ "$run" != "$name" ] && version="${run#*@}"
  exe="$build/fuzz/fuzz_$name"
  if [ ! -x "$exe" ]; then
    echo "fuzz: no target $name (expected $exe)" >&2
    failed+=("$run")
    continue
  fi
  corpus="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/${run/@/-}"
  log="$build/fuzz-logs/${run/@/-}.log"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/")
  if [ -f "fuzz/$name.dict" ]; then options+=(-dict="fuzz/$name.dict"); fi

  echo "== fuzz $run for ${seconds}s"
  status=0
  # The outer limit only catches a fuzzer that ignores its own.
  ORVEL_SYSTEM_VERSION="${version:-${ORVEL_SYSTEM_VERSION:-}}" \
    timeout --kill-after=30 "$((seconds + 300))" "$exe" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1 || true)
  line="$run: ${execs:-?} runs, ${rate:-?}/s, ${coverage:-no coverage line}, peak ${rss:-?} MB"
  if [ "$status" -ne 0 ]; then
    line="$line, FAILED (exit $status)"
    failed+=("$run")
    echo "-- $run failed; end of $log:"
    tail -n 80 "$log"
    ls -1 "$artifacts" | sed "s|^|   kept: $artifacts/|"
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
