#!/bin/sh
# Gang upgrades under ThreadSanitizer: builds zrsim, the gang bench (with the engine, zrcore and zrcables) and zrtool
# with -fsanitize=thread in their own tree, then runs gangs of 4 cables over zrsim pseudo-terminals and over
# simulated buses in the process on the real clock. Qt is not instrumented: tsan_qt.supp hides reports whose
# frames lie in Qt's own libraries only. Usage: bench/tsan_gang.sh [BUILD_DIR] (default build-tsan).
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-tsan}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target bench_gang zrsim_server
# Every report is printed and counted; the run goes on after one (exit status 66 when there was any).
export TSAN_OPTIONS="suppressions=$src/bench/tsan_qt.supp halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
for line in pty bus; do
  echo "== 4 cables, line $line"
  "$build/bench/bench_gang" --line "$line" --cables 4 --rounds 1 || status=$?
done
exit $status
