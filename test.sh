#!/usr/bin/env bash
# The whole suite: the set-up of ./run.sh, then the Release tests (the quick
# ones also under each lower SIMD level) and the same tests again built with
# AddressSanitizer and UndefinedBehaviorSanitizer, plus the replay of every
# fuzz seed. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
jobs=$(nproc)
status=0

echo "== format and lint"
./scripts/lint.sh || status=1

echo "== Release (g++)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DPARVULA_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release -j"$jobs" --output-on-failure || status=1
# The SIMD kernels of the older levels (and the portable ones) must give the
# same bytes as the best level: the quick tests again under each.
for level in sse2 none; do
  echo "== Release, PARVULA_SIMD=$level"
  PARVULA_SIMD=$level ctest --test-dir build/release -j"$jobs" --output-on-failure -LE slow ||
    status=1
done

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPARVULA_SANITIZE=ON -DPARVULA_BUILD_APP=OFF -DPARVULA_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j"$jobs" --output-on-failure -LE slow || status=1
# The kernel tests again under each lower SIMD level.
for level in sse2 none; do
  PARVULA_SIMD=$level ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan -j"$jobs" \
    --output-on-failure -LE slow -R 'Dct|BicubicScaler|JpegColour|FastPaths' || status=1
done

if [ $status -ne 0 ]; then
  echo "parvula: some tests failed" >&2
fi
exit $status
