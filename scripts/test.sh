#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice:
# the CI build (g++, warnings as errors) and the sanitizer build
# (clang, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz corpora replayed).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in ${QZ_PRESETS:-ci asan}; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done
