#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout, builds the C example against
# the installed headers and pkg-config files with warnings as errors, and runs it against
# the installed simulator:
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER SANITIZE(ON|OFF)
build=$1 source=$2 compiler=$3 sanitize=$4
. "$(dirname "$0")/lib.sh"

prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$scratch/install.log")"

for f in bin/qztool bin/qzsim lib/libQZ_BASIC.so lib/libQZ_ADVANCED.so lib/libQZ_OTHER.so \
  include/qz/basic.h include/qz/advanced.h include/qz/other.h \
  lib/pkgconfig/qz-basic.pc lib/pkgconfig/qz-advanced.pc lib/pkgconfig/qz-other.pc \
  lib/udev/rules.d/60-qz-touch.rules share/applications/QZToolKit.desktop \
  etc/xdg/autostart/QZToolKit.desktop share/man/man1/qztool.1 share/man/man1/qzsim.1; do
  [ -e "$prefix/$f" ] || fail "not installed: $f (installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' '))"
done
# Nothing of the build or source tree may leak into what is installed.
if grep -rlF -e "$build" -e "$source" "$prefix/lib/pkgconfig" "$prefix/share" "$prefix/etc" >/dev/null; then
  fail "installed text files name the build or source tree: $(grep -rlF -e "$build" -e "$source" "$prefix/lib/pkgconfig" "$prefix/share" "$prefix/etc")"
fi
check_runpath "$prefix" "$prefix"/bin/qztool "$prefix"/bin/qzsim "$prefix"/lib/libQZ_*.so

# The example as an SDK user builds it: the compiler of this build, headers and flags from
# pkg-config only. The sanitizer build's libraries need the sanitizer runtime, with its C++
# part, in the program.
export CC="$compiler"
export CFLAGS="-pedantic"
if [ "$sanitize" = ON ]; then
  CFLAGS="$CFLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined"
  export LDFLAGS="-fsanitize=address,undefined -fsanitize-link-c++-runtime -lstdc++"
fi
unset PKG_CONFIG_PATH
"$source/examples/build-installed.sh" "$prefix" "$scratch/example" >"$scratch/example.log" 2>&1 ||
  fail "the example does not build against the installed SDK: $(cat "$scratch/example.log")"
check_runpath "$prefix" "$scratch/example/fwversion"

# Without a controller it says so; with the simulator it prints the firmware version that
# qztool reads from the same controller.
runtime="$scratch/run"
mkdir -p "$runtime/empty"
set +e
QZ_VIRTUAL_HID_DIR="$runtime/empty" QZ_DRIVER_DIR="$runtime/empty" QZ_NO_REAL_HID=1 \
  "$scratch/example/fwversion" >"$scratch/none.out" 2>&1
rc=$?
set -e
[ $rc -eq 3 ] || fail "fwversion without a controller: exit $rc, $(cat "$scratch/none.out")"
grep -q "no controller found" "$scratch/none.out" || fail "fwversion without a controller said: $(cat "$scratch/none.out")"

start_sim "$prefix/bin/qzsim" "$runtime" --hid krxm:7480:4321:A
out=$("$scratch/example/fwversion") || fail "fwversion against the simulator failed: $out"
want=$("$prefix/bin/qztool" info --json | sed -n 's/.*"master":"\([^"]*\)".*/\1/p')
[ -n "$want" ] || fail "qztool info --json names no master version: $("$prefix/bin/qztool" info --json)"
[ "$out" = "QZ4321A: $want" ] || fail "fwversion printed '$out', expected 'QZ4321A: $want'"
echo "fwversion: $out"
