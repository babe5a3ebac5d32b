#!/bin/sh
# Gang upgrades under ThreadSanitizer. Builds zrsim, zrtool, the gang test and the gang bench (the engine, zrcore and
# zrcables with them) with -fsanitize=thread in a tree of their own, then runs test_gang and gangs of 4 cables: the
# engine over zrsim pseudo-terminals, over simulated buses in the process on the real clock and (where umockdev is
# installed) over emulated FT232R cables through libftdi and libusb, and one zrtool process over zrsim and over the
# emulated cables. Qt and GLib are not instrumented: tsan_qt.supp hides reports whose frames lie in their libraries
# only. Usage: bench/tsan_gang.sh [BUILD_DIR] (default build-tsan); CABLES=16 for bigger gangs.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-tsan}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target test_gang bench_gang zrsim_server zrtool
# Every report is printed and counted; the run goes on after one (exit status 66 when there was any). GLib's slice
# allocator (umockdev's preload runs in the gang workers) keeps per-thread caches the sanitizer cannot follow:
# plain malloc instead.
export G_SLICE=always-malloc
export TSAN_OPTIONS="suppressions=$src/bench/tsan_qt.supp halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
status=0
# run WHAT COMMAND...: a report or a failure sets the exit status; 77 is a bench that has no emulated cables here.
run() {
  echo "== $1"
  shift
  rc=0
  "$@" || rc=$?
  [ $rc = 77 ] && echo "(skipped: no emulated USB cables in this build)" && rc=0
  [ $rc = 0 ] || status=$rc
}
run "test_gang" env QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$data" "$build/tests/test_gang"
for line in pty bus usb; do
  run "${CABLES:-4} cables, line $line, the engine" "$build/bench/bench_gang" --line $line --cables "${CABLES:-4}" --rounds 1
done
for line in pty usb; do
  run "${CABLES:-4} cables, line $line, one zrtool process" "$build/bench/bench_gang" --zrtool --line $line \
      --cables "${CABLES:-4}" --rounds 1
done
exit $status
