#!/usr/bin/env bash
# Builds the examples against an installed SDK through pkg-config, as an SDK user would:
#   examples/build-installed.sh PREFIX OUTDIR
# CC, CFLAGS and LDFLAGS are honoured (a sanitizer build of the SDK needs its compiler and
# runtime in the program too). Warnings are errors.
set -euo pipefail
prefix=$1 out=$2
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
mkdir -p "$out"
flags=$(pkg-config --cflags --libs qz-advanced)
# shellcheck disable=SC2086  # CFLAGS, LDFLAGS and the pkg-config flags are word lists
"${CC:-cc}" -std=c99 -Wall -Wextra -Werror ${CFLAGS:-} "$(dirname "$0")/fwversion.c" $flags ${LDFLAGS:-} \
  -o "$out/fwversion"
