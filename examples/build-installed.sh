#!/usr/bin/env bash
# Builds the examples against an installed SDK through pkg-config, as an SDK user would:
#   examples/build-installed.sh PREFIX OUTDIR
set -euo pipefail
prefix=$1 out=$2
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
mkdir -p "$out"
cc -std=c99 -Wall -Wextra -Werror "$(dirname "$0")/fwversion.c" $(pkg-config --cflags --libs qz-advanced) -o "$out/fwversion"
