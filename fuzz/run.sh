#!/usr/bin/env bash
# Builds the fuzz targets in the clang build with ASan and UBSan (preset "asan") and fuzzes the
# schedule file loader for SECONDS seconds (default 60), starting from the seed corpus. New inputs go
# to build/asan/fuzz/corpus (kept between runs); a crash is written to build/asan/fuzz/ and fails the
# script.
#
#   fuzz/run.sh [SECONDS] [extra libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
cmake --preset asan >/dev/null
cmake --build --preset asan --target fuzz_schedule_file
mkdir -p build/asan/fuzz/corpus
cd build/asan/fuzz
./fuzz_schedule_file -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -dict=../../../fuzz/schedule_file.dict -artifact_prefix=./ "$@" corpus ../../../fuzz/corpus/schedule_file
