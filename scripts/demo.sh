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
# qzsim lays a palm on its panels on SIGUSR1 and lifts it on SIGUSR2.
echo "=== qztool monitor: a palm on the panel for 1.5 s"
"$bin/qztool" monitor --count 2 --for 10 --log "$run/touch.log" &
mon=$!
sleep 0.5
kill -USR1 "$sim"
sleep 1.5
kill -USR2 "$sim"
wait "$mon" || true
echo "(the same lines were appended to $run/touch.log)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/QZToolKit" ]; then
  echo "=== QZToolKit against the simulator: a palm lies on the panel in 3 s and is lifted 4 s later"
  # The scenario's own touch cycle is left out so that only the scripted palm changes the state;
  # a HID twin of the controller lets qztool monitor watch the same moment beside the tray
  # program (a driver report goes to one waiting watcher only).
  grep -v '^touch-cycle' sim/scenarios/krxm-master-two-slaves.scenario >"$run/palm.scenario"
  "$bin/qzsim" --dir "$run/palm" --scenario "$run/palm.scenario" --hid krxm:7480:5210:B \
    >"$run/palm.log" 2>&1 &
  palm=$!
  sleep 0.5
  QZ_DRIVER_DIR="$run/palm/driver" QZ_VIRTUAL_HID_DIR="$run/palm/hid" timeout 20 "$bin/QZToolKit" &
  kit=$!
  QZ_DRIVER_DIR="$run/palm/driver" QZ_VIRTUAL_HID_DIR="$run/palm/hid" "$bin/qztool" monitor --hid --for 12 &
  mon=$!
  sleep 3
  echo "--- a palm on the panel: the tray icon turns to touch disabled, the window asks to remove it"
  kill -USR1 "$palm"
  sleep 4
  echo "--- the palm is lifted: touch enabled again, the window goes"
  kill -USR2 "$palm"
  wait "$mon" || true
  wait "$kit" || true
  kill "$palm" 2>/dev/null || true
else
  echo "=== no display: QZToolKit not started (run the demo in a desktop session to see it)"
fi
