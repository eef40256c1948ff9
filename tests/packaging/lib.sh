# Pieces shared by the packaging tests: a scratch directory removed on exit, a simulator
# started from a given qzsim, and a failure that says what went wrong.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qz-packaging-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# start_sim QZSIM DIR ARGS...: serves the controllers in DIR (hid/ and driver/ below it) and
# points the device libraries at them, real HID devices hidden.
start_sim() {
  local qzsim=$1 dir=$2
  shift 2
  "$qzsim" --dir "$dir" "$@" >"$scratch/qzsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do
    [ -n "$(ls "$dir/hid" 2>/dev/null)" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "qzsim stopped: $(cat "$scratch/qzsim.log")"
    sleep 0.05
  done
  [ -n "$(ls "$dir/hid" 2>/dev/null)" ] || fail "qzsim served nothing in 10 s: $(cat "$scratch/qzsim.log")"
  export QZ_VIRTUAL_HID_DIR="$dir/hid" QZ_DRIVER_DIR="$dir/driver" QZ_NO_REAL_HID=1
}

# check_runpath ROOT FILE...: every QZ library each ELF file needs resolves inside ROOT.
check_runpath() {
  local root=$1 f
  shift
  for f in "$@"; do
    local out
    out=$(env -u LD_LIBRARY_PATH ldd "$f") || fail "ldd $f: $out"
    echo "$out" | grep -q "not found" && fail "$f has unresolved libraries:"$'\n'"$out"
    local qz
    qz=$(echo "$out" | grep -o 'libQZ_[A-Z]*\.so => [^ ]*' || true)
    while read -r line; do
      [ -z "$line" ] && continue
      case "${line#* => }" in
        "$root"/*) ;;
        *) fail "$f finds ${line%% =>*} outside the installed tree: ${line#* => }" ;;
      esac
    done <<<"$qz"
  done
}
