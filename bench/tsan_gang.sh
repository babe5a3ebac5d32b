#!/bin/sh
# Gang upgrades under ThreadSanitizer. Builds zrsim, zrtool, the gang test and the gang bench (the engine, zrcore and
# zrcables with them) with -fsanitize=thread in a tree of their own, then runs test_gang and gangs of 4 cables: the
# engine over zrsim pseudo-terminals, over simulated buses in the process on the real clock and (where umockdev is
# installed) over emulated FT232R cables through libftdi and libusb, and one zrtool process over zrsim and over the
# emulated cables. Qt, GLib and umockdev are not instrumented: tsan_qt.supp leaves Qt's own accesses out.
# Every process writes its reports to a log of its own (zrtool and zrsim started by the test or the bench too);
# they are printed after each run, and any report makes the exit status 66.
# Usage: bench/tsan_gang.sh [BUILD_DIR] (default build-tsan); CABLES=16 for bigger gangs.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-tsan}
# ccache where there is one (a CI machine has none).
launcher=
command -v ccache >/dev/null 2>&1 && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread $launcher >/dev/null
cmake --build "$build" -j2 --target test_gang bench_gang zrsim_server zrtool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# GLib's slice allocator (umockdev's preload runs in the gang workers) keeps per-thread caches the sanitizer cannot
# follow: plain malloc instead.
export G_SLICE=always-malloc
# Exit codes stay the programs' own (a test checks zrtool's): the reports are counted from the logs and the output.
supp="suppressions=$src/bench/tsan_qt.supp halt_on_error=0 second_deadlock_stack=1"
export TSAN_OPTIONS="$supp exitcode=0 log_path=$work/tsan ${TSAN_OPTIONS:-}"
# The emulated cables need umockdev's preload library: given here, so that the bench does not start itself again
# under it. Under the preload a log file loses the suppressions: those runs report on stderr instead, and a zrtool
# with reports exits 66, so that the bench shows what it said.
preload=$(sed -n 's/^UMOCKDEV_PRELOAD:FILEPATH=//p' "$build/CMakeCache.txt")
case "$preload" in *NOTFOUND* | "") usb="" ;; *) usb="LD_PRELOAD=$preload" ;; esac
usb="$usb TSAN_OPTIONS=$(echo "$supp exitcode=66" | tr ' ' :)"
status=0
reports=0
# run WHAT COMMAND...: a failure or a report sets the exit status; 77 is a bench without emulated cables here.
run() {
  echo "== $1"
  shift
  { "$@" 2>&1 || echo $? > "$work/rc"; } | tee "$work/out"
  rc=$(cat "$work/rc" 2>/dev/null || echo 0)
  rm -f "$work/rc"
  [ "$rc" = 77 ] && echo "(skipped: no emulated USB cables in this build)" && rc=0
  [ "$rc" = 0 ] || status=$rc
  reports=$((reports + $(grep -c '^WARNING: ThreadSanitizer' "$work/out" || true)))
  for log in "$work"/tsan.*; do
    [ -e "$log" ] || continue
    cat "$log"
    reports=$((reports + $(grep -c '^WARNING: ThreadSanitizer' "$log" || true)))
    rm -f "$log"
  done
}
run "test_gang" env QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$work/data" "$build/tests/test_gang"
for line in pty bus usb; do
  run "${CABLES:-4} cables, line $line, the engine" env $([ $line = usb ] && echo "$usb") "$build/bench/bench_gang" \
      --line $line --cables "${CABLES:-4}" --rounds 1
done
for line in pty usb; do
  run "${CABLES:-4} cables, line $line, one zrtool process" env $([ $line = usb ] && echo "$usb") \
      "$build/bench/bench_gang" --zrtool --line $line --cables "${CABLES:-4}" --rounds 1
done
echo "ThreadSanitizer reports: $reports"
[ $reports = 0 ] || status=66
exit $status
