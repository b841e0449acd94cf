#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite under one CMake preset (default: relwithdebinfo;
# also debug, asan, tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-relwithdebinfo}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
