#!/usr/bin/env bash
# Sets up, builds and runs the main job: the demonstration host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset relwithdebinfo >/dev/null
cmake --build --preset relwithdebinfo -j "$(nproc)"
exec build/relwithdebinfo/host/tolvane-demo "$@"
