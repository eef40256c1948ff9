#!/usr/bin/env bash
# Installs what is missing, then builds and runs the tests in three builds:
# the CI build (g++, warnings as errors, with the tray program's 10-minute long run),
# the sanitizer build (clang, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz corpora
# replayed) and the thread build (clang, ThreadSanitizer, only the threaded parts and their
# tests). QZ_PRESETS picks others, e.g. QZ_PRESETS=ci.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in ${QZ_PRESETS:-ci asan tsan}; do
  started=$SECONDS
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  rm -f "build/$preset/longrun.txt"
  ctest --preset "$preset" -j "$jobs"
  # The long run's figures: resident memory, descriptors and the events it went through.
  if [[ -f "build/$preset/longrun.txt" ]]; then cat "build/$preset/longrun.txt"; fi
  echo "=== $preset: $((SECONDS - started)) s"
done
