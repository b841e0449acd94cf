#!/usr/bin/env bash
# Sets up, builds and runs the main job: tolvane-scheduler on an example schedule that copies a
# sample folder to a local backup folder at start, every few seconds (only what changed) and when
# the folder changes. Everything it writes (schedule, registry, sample, backup) lives in a
# temporary folder that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset relwithdebinfo >/dev/null
cmake --build --preset relwithdebinfo -j "$(nproc)"
scheduler=$PWD/build/relwithdebinfo/host/scheduler/tolvane-scheduler

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
export HOME=$demo/home XDG_CONFIG_HOME=$demo/config XDG_RUNTIME_DIR=$demo/run
export TOLVANE_REGISTRY_USER=$demo/registry/user.reg TOLVANE_REGISTRY_MACHINE=$demo/registry/machine.reg
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$demo/sample/photos"
echo "Shopping: bread, milk" > "$demo/sample/notes.txt"
head -c 300000 /dev/urandom > "$demo/sample/photos/beach.jpg"
head -c 200000 /dev/urandom > "$demo/sample/photos/forest.jpg"

echo "== tolvane-scheduler add"
"$scheduler" add "Sample folder" --at-start --every 5s --on-change "$demo/sample" \
  --copy "$demo/sample" "$demo/backup" --only-changes
echo "== tolvane-scheduler list"
"$scheduler" list
echo "== tolvane-scheduler run --duration 15s (a file in the sample folder changes after 7 s)"
(sleep 7 && echo "Shopping: bread, milk, apples" > "$demo/sample/notes.txt") &
"$scheduler" run --duration 15s
wait
echo "== tolvane-scheduler list"
"$scheduler" list
echo "== the backup folder"
(cd "$demo/backup" && find . -type f | sort)
