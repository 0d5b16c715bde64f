#!/usr/bin/env bash
# Sets up, configures, builds and runs every test. Extra arguments go to
# CMake's configure step, e.g. scripts/test.sh -DORVEL_SANITIZE=address,undefined
# BUILD_DIR picks the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja "$@"
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" ${CTEST_ARGS:-}
