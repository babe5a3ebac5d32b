#!/bin/sh
# Gang upgrades under ThreadSanitizer: builds zrsim, the gang bench (with the engine, zrcore and zrcables) and zrtool
# with -fsanitize=thread in their own tree, then runs gangs of 4 cables over zrsim pseudo-terminals, over simulated
# buses in the process on the real clock and (where umockdev is installed) over emulated FT232R cables through
# libftdi and libusb. Qt and GLib are not instrumented: tsan_qt.supp hides reports whose frames lie in their
# libraries only. Usage: bench/tsan_gang.sh [BUILD_DIR] (default build-tsan); CABLES=16 for bigger gangs.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-tsan}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target bench_gang zrsim_server
# Every report is printed and counted; the run goes on after one (exit status 66 when there was any). GLib's slice
# allocator (umockdev's preload runs in the gang workers) keeps per-thread caches the sanitizer cannot follow:
# plain malloc instead.
export G_SLICE=always-malloc
export TSAN_OPTIONS="suppressions=$src/bench/tsan_qt.supp halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
for line in pty bus usb; do
  echo "== ${CABLES:-4} cables, line $line"
  rc=0
  "$build/bench/bench_gang" --line "$line" --cables "${CABLES:-4}" --rounds 1 || rc=$?
  [ $rc = 77 ] && echo "(skipped: no emulated USB cables in this build)" && rc=0
  [ $rc = 0 ] || status=$rc
done
exit $status
