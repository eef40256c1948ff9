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
echo "=== qztool info"
"$bin/qztool" info
if "$bin/qztool" log --help >/dev/null 2>&1; then
  echo "=== qztool log (the firmware information log)"
  mkdir -p "$run/logs"
  logfile=$("$bin/qztool" log --dir "$run/logs")
  echo "The log was written to: $logfile (kept in a copy: ${TMPDIR:-/tmp}/$(basename "$logfile"))"
  cp "$logfile" "${TMPDIR:-/tmp}/"
else
  echo "=== (qztool log is not built yet: skipped)"
fi
echo "=== qztool raw --png (heat map of one frame)"
"$bin/qztool" raw --png "${TMPDIR:-/tmp}/qz-demo-frame.png" >/dev/null && echo "picture: ${TMPDIR:-/tmp}/qz-demo-frame.png"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/QZToolKit" ]; then
  echo "=== QZToolKit against the simulator: a palm lies on the panel in 3 s and is lifted 4 s later"
  "$bin/qzsim" --dir "$run/palm" --scenario sim/scenarios/krxm-master-two-slaves.scenario >"$run/palm.log" 2>&1 &
  palm=$!
  sleep 0.5
  QZ_DRIVER_DIR="$run/palm/driver" QZ_VIRTUAL_HID_DIR="$run/palm/hid" timeout 20 "$bin/QZToolKit" || true
  kill "$palm" 2>/dev/null || true
else
  echo "=== no display: QZToolKit not started (run the demo in a desktop session to see it)"
fi
