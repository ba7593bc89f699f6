#!/bin/sh
# Builds the kernel tests (and, with "bench", the micro-benchmark) with the
# library's own flags into a temporary folder and runs them.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src/native"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
CXX=${CXX:-g++}
FLAGS="-std=c++17 -O2 -Wall -Wextra -Werror -ffp-contract=off -fno-fast-math"
kernels="$src/kernels/coding.cpp $src/kernels/checks.cpp $src/kernels/pwm.cpp $src/kernels/dwm.cpp $src/kernels/pow2.cpp"
$CXX $FLAGS -I"$src" "$here/test_kernels.cpp" $kernels -o "$out/test_kernels"
$CXX $FLAGS -I"$src" "$here/test_scan.cpp" "$src/kernels/scan.cpp" -o "$out/test_scan"
"$out/test_scan"
"$out/test_kernels"
$CXX $FLAGS -I"$src" "$here/test_scan.cpp" "$src/kernels/scan.cpp" -o "$out/test_scan"
"$out/test_scan"
if [ "${1:-}" = bench ]; then
    $CXX $FLAGS -I"$src" "$here/bench_kernels.cpp" $kernels -o "$out/bench_kernels"
    "$out/bench_kernels"
fi
