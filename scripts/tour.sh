#!/usr/bin/env bash
# Installs what the build needs, builds the device simulator and runs its
# tour: the library on a simulated device, as a readable timeline. Extra
# arguments go to orvel-sim tour, e.g. scripts/tour.sh --os 9.3,13.0
# BUILD_DIR picks the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target orvel_sim_tool --parallel "$(nproc)"
exec "$build/tools/orvel-sim/orvel-sim" tour "$@"
