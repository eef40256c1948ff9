#!/usr/bin/env bash
# Builds the Debian package with CPack, checks its control data and contents, unpacks it
# into a scratch root (no system change, no privileges) and runs the programs from there
# against the packaged simulator, the build tree out of every path:
#   deb_test.sh BUILD_DIR SOURCE_DIR C_COMPILER SANITIZE(ON|OFF)
build=$1 source=$2 compiler=$3 sanitize=$4
. "$(dirname "$0")/lib.sh"

for tool in cpack dpkg-deb dpkg readelf; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$scratch/cpack.log")"
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: $(ls "$scratch/out")"
deb=${debs[0]}

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = qz-toolkit ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION \(.*\))$/\1/p' "$source/packaging/CMakeLists.txt")
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), packaging says $version"
dpkg-deb --info "$deb" >"$scratch/info.txt" || fail "dpkg-deb --info: $(cat "$scratch/info.txt")"
grep -q '^ Description: ' "$scratch/info.txt" || fail "no description: $(cat "$scratch/info.txt")"
# The administrator's changes to files in /etc survive an upgrade.
dpkg-deb --info "$deb" conffiles 2>/dev/null | grep -qxF /etc/xdg/autostart/QZToolKit.desktop ||
  fail "the autostart entry is not a conffile"

# Every file where the system looks for it: nothing under the build tree's names, the
# autostart entry in /etc (XDG looks in /etc/xdg, never /usr/etc).
dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|' | sort >"$scratch/contents.txt"
for f in /usr/bin/qztool /usr/bin/qzsim /usr/lib/libQZ_BASIC.so /usr/lib/libQZ_ADVANCED.so \
  /usr/lib/libQZ_OTHER.so /usr/include/qz/basic.h /usr/include/qz/advanced.h /usr/include/qz/other.h \
  /usr/lib/pkgconfig/qz-advanced.pc /usr/lib/udev/rules.d/60-qz-touch.rules \
  /usr/share/applications/QZToolKit.desktop /etc/xdg/autostart/QZToolKit.desktop \
  /usr/share/man/man1/qztool.1 /usr/share/qzsim/scenarios/README.md; do
  grep -qxF "$f" "$scratch/contents.txt" || fail "the package lacks $f; it holds:"$'\n'"$(cat "$scratch/contents.txt")"
done
if grep -vE '^/(usr/(bin|lib|include|share)|etc/xdg/autostart)(/|$)|^/(usr|etc|etc/xdg)?/?$' "$scratch/contents.txt"; then
  fail "files outside the expected places (above)"
fi

root="$scratch/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
elves=()
while IFS= read -r f; do
  [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && elves+=("$f")
done < <(find "$root/usr/bin" "$root/usr/lib" -type f)
[ ${#elves[@]} -ge 5 ] || fail "only ${#elves[@]} programs and libraries in the package"

# Each program and library finds the packaged QZ libraries through its own run path, never
# through the build tree.
for f in "${elves[@]}"; do
  rp=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  case "$f" in
    */usr/bin/*) [ "$rp" = '$ORIGIN/../lib' ] || fail "$f run path '$rp', not \$ORIGIN/../lib" ;;
    */usr/lib/*) [ "$rp" = '$ORIGIN' ] || fail "$f run path '$rp', not \$ORIGIN" ;;
  esac
done
check_runpath "$root" "${elves[@]}"

# The dependencies name a package for every system library the programs need, as the
# system's loader finds it.
depends=$(field Depends)
missing=""
while read -r lib path; do
  owner=""
  for p in "$path" "$(readlink -f "$path")"; do
    owner=$(dpkg -S "$p" 2>/dev/null | grep -v '^diversion' | head -n 1 | cut -d: -f1) || true
    [ -n "$owner" ] && break
  done
  [ -n "$owner" ] || fail "no installed package holds $path ($lib, needed by the packaged files)"
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$owner" || missing="$missing $owner($lib)"
done < <(for f in "${elves[@]}"; do
  # Only what the file itself needs: the rest comes with those packages' own dependencies.
  needed=$(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  env -u LD_LIBRARY_PATH ldd "$f" | awk -v needed="$needed" '
    BEGIN { n = split(needed, names, "\n"); for (i = 1; i <= n; i++) want[names[i]] = 1 }
    $2 == "=>" && ($1 in want) && $3 ~ /^\// { print $1, $3 }'
done | grep -v '^libQZ_' | sort -u)
[ -z "$missing" ] || fail "Depends: $depends lacks:$missing"

# Run from the unpacked root with the build tree out of every path.
export PATH="$root/usr/bin:/usr/bin:/bin"
unset LD_LIBRARY_PATH
[ "$(command -v qztool)" = "$root/usr/bin/qztool" ] || fail "PATH finds $(command -v qztool)"
v=$(qztool --version) || fail "qztool --version failed: $v"
[ "$v" = "qztool $version" ] || fail "qztool --version says '$v', the package is $version"
start_sim "$root/usr/bin/qzsim" "$scratch/run" --hid krxm:7480:4321:A --hid 2k:2150:2150
list=$(qztool list) || fail "qztool list failed: $list"
echo "$list"
echo "$list" | grep -q 'QZ4321A' || fail "qztool list does not show the KRXM controller"
echo "$list" | grep -q 'pid_2150' || fail "qztool list does not show the 2K controller"
# The packaged SDK builds the example as well (pkg-config files relocate with the tree).
export CC="$compiler" CFLAGS="-pedantic" LDFLAGS=""
if [ "$sanitize" = ON ]; then
  CFLAGS="$CFLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined" LDFLAGS="-fsanitize=address,undefined -fsanitize-link-c++-runtime -lstdc++"
fi
"$source/examples/build-installed.sh" "$root/usr" "$scratch/example" >"$scratch/example.log" 2>&1 ||
  fail "the example does not build against the unpacked package: $(cat "$scratch/example.log")"
out=$("$scratch/example/fwversion") || fail "fwversion from the package: $out"
echo "$out" | grep -qE '^QZ[0-9]+[A-Z]?: .+' || fail "fwversion from the package printed '$out'"
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
