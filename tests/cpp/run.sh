#!/bin/sh
# Builds the kernel tests and the micro-benchmark with the library's own flags
# (its Release build's optimisation included) into a temporary folder and runs
#   run.sh                   the tests
#   run.sh bench [ARG...]    the tests, then the benchmark (ARGs: bench_kernels.cpp)
#   run.sh bench-only [ARG...]  the benchmark alone
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src/native"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
CXX=${CXX:-g++}
FLAGS="-std=c++17 -O3 -DNDEBUG -Wall -Wextra -Werror -ffp-contract=off -fno-fast-math"
kernels="$src/kernels/coding.cpp $src/kernels/checks.cpp $src/kernels/pwm.cpp $src/kernels/dwm.cpp $src/kernels/pow2.cpp"
mode=${1:-}
[ $# -gt 0 ] && shift
if [ "$mode" != bench-only ]; then
    $CXX $FLAGS -I"$src" "$here/test_kernels.cpp" $kernels -o "$out/test_kernels"
    "$out/test_kernels"
fi
if [ "$mode" = bench ] || [ "$mode" = bench-only ]; then
    $CXX $FLAGS -I"$src" "$here/bench_kernels.cpp" $kernels -o "$out/bench_kernels"
    "$out/bench_kernels" "$@"
fi
