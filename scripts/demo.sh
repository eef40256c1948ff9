#!/usr/bin/env bash
# The main job on the built-in simulator: installs what is missing, builds, starts qzsim
# with simulated controllers in a temporary directory and runs qztool against them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)"
bin=build/ci/bin

run=$(mktemp -d "${TMPDIR:-/tmp}/qz-demo-XXXXXX")
cleanup() {
  [ -n "${sim:-}" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT

echo "=== Starting the simulator in $run"
"$bin/qzsim" --dir "$run" --hid krxm:7480:4321:A --hid 2k:2150:2150 --driver QZUKRXM_API0:1234:B \
  >"$run/qzsim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
  [ -S "$run/driver/QZUKRXM_API0" ] && [ "$(ls "$run/hid" 2>/dev/null | wc -l)" -ge 2 ] && break
  sleep 0.05
done

export QZ_VIRTUAL_HID_DIR="$run/hid" QZ_DRIVER_DIR="$run/driver" QZ_NO_REAL_HID=1
echo "=== qztool list"
"$bin/qztool" list
