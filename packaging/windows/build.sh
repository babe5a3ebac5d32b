#!/usr/bin/env bash
# The Windows build from Debian: cross-compile with MinGW-w64 and the Qt of ../shared/toolchains (or $ZR_QT_MINGW,
# the archive or its unpacked folder), run the whole test suite under Wine, make the zip and the installer, and
# install the installer silently under Wine. Usage: packaging/windows/build.sh [BUILD_DIR]  (default: build-win)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-build-win}")
jobs=${ZR_JOBS:-2}
start=$SECONDS
step() { echo "== $* ($((SECONDS - start)) s)"; }

step "packages"
packages=(g++-mingw-w64-x86-64-posix wine64 wine nsis cmake make zip unzip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

step "Qt for Windows"
qt=${ZR_QT_MINGW:-$src/../shared/toolchains/qt-5.15.8-mingw64.tar.xz}
mkdir -p "$build"
if [ -d "$qt" ]; then
  qtdir=$(realpath "$qt")
else
  [ -f "$qt" ] || { echo "build.sh: no Qt for Windows at $qt (set ZR_QT_MINGW)" >&2; exit 1; }
  qtdir=$build/qt-5.15.8-mingw64
  stamp=$build/qt-5.15.8-mingw64.unpacked
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$(realpath "$qt") $(stat -c %Y "$qt")" ]; then
    rm -rf "$qtdir"
    tar -xJf "$qt" -C "$build"
    echo "$(realpath "$qt") $(stat -c %Y "$qt")" >"$stamp"
  fi
fi
[ -f "$qtdir/bin/Qt5Core.dll" ] || { echo "build.sh: $qtdir holds no Qt5Core.dll" >&2; exit 1; }

# Wine: a prefix of the build's own, quiet, finding the Qt and MinGW DLLs; the tests' windows are offscreen (Wine
# does not pass QT_* variables to Windows programs, so the prefix's environment holds it).
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="$qtdir/bin;$gccdir;/usr/x86_64-w64-mingw32/lib"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "Wine prefix"
  wineboot --init
  wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null
  wineserver --wait
fi

# A Linux zrtool for the byte-for-byte comparison (test_samefiles): the CI's, or one built here.
linux_zrtool=${ZR_LINUX_ZRTOOL:-$src/build/zrtool/zrtool}
if [ ! -x "$linux_zrtool" ] && dpkg-query -W qtbase5-dev >/dev/null 2>&1; then
  step "Linux zrtool for the comparison"
  cmake -S "$src" -B "$build/linux" "${launcher[@]}" >"$build/linux-configure.log"
  cmake --build "$build/linux" -j"$jobs" --target zrtool
  linux_zrtool=$build/linux/zrtool/zrtool
fi

step "configure"
# Release: no debug information, which MinGW makes large and slow to link; the packages are stripped anyway.
cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/packaging/windows/mingw64.cmake" -DZR_QT_DIR="$qtdir" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine -DZR_LINUX_ZRTOOL="$linux_zrtool" "${launcher[@]}" >"$build/configure.log" || {
  cat "$build/configure.log"; exit 1; }
grep -i 'left out' "$build/configure.log" || true

step "build"
cmake --build "$build" -j"$jobs"

step "tests under Wine"
# Each QtTest program also writes its results to tests/<name>.txt (Wine shows them nowhere else reliably).
rm -f "$build"/tests/results/*.txt
status=0
if ! ctest --test-dir "$build" -j"$jobs" --output-on-failure; then
  # Under Wine on a loaded machine a child program has crashed once in a while (exit -1) where it never does on
  # its own: a suite that failed runs once more, alone, and the log above keeps its first failure.
  echo "-- the failed suites once more, one at a time:"
  ctest --test-dir "$build" --rerun-failed --output-on-failure || status=$?
fi
echo "-- skipped inside the suites that ran:"
grep -h '^SKIP' "$build"/tests/results/*.txt 2>/dev/null | sed 's/^SKIP *: */   /' | sort || true
[ "$status" = 0 ] || { echo "build.sh: tests failed under Wine" >&2; exit 1; }

step "packages: zip and installer"
rm -f "$build"/zrflasher-*-win64*.zip "$build"/zrflasher-*-win64-setup.exe
(cd "$build" && cpack -G ZIP >/dev/null && cpack -G NSIS >/dev/null)
zipfile=$(ls "$build"/zrflasher-*-win64.zip)
setup=$(ls "$build"/zrflasher-*-win64-setup.exe)
ls -l "$zipfile" "$setup"
listing=$(unzip -Z1 "$zipfile")
for f in zrflasher.exe zrtool.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Sql.dll platforms/qwindows.dll \
         sqldrivers/qsqlite.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll README.md licenses/LICENSE.LGPL3; do
  grep -qx "$f" <<<"$listing" || { echo "build.sh: $f missing from $zipfile" >&2; exit 1; }
done

step "installer under Wine"
# A Windows PC without our build tree: no WINEPATH, only what the installer brings.
# (NSIS takes /D= unquoted and last: the folder has no space.)
target='C:\ZrFlasherTest'
unixtarget=$WINEPREFIX/drive_c/ZrFlasherTest
rm -rf "$unixtarget"
WINEPATH= wine "$setup" /S "/D=$target"
wineserver --wait
for f in zrflasher.exe zrtool.exe platforms/qwindows.dll sqldrivers/qsqlite.dll Uninstall.exe; do
  [ -f "$unixtarget/$f" ] || { echo "build.sh: the installer left no $f in $target" >&2; exit 1; }
done
version=$(WINEPATH= wine "$target\\zrtool.exe" --version | tr -d '\r')
echo "installed: $version"
grep -q "^zrtool $(sed -n 's/.*kProgramVersion = QStringLiteral("\([0-9.]*\)").*/\1/p' "$src/core/version.h")$" \
  <<<"$version" || { echo "build.sh: the installed zrtool.exe --version said: $version" >&2; exit 1; }
# The installed program: a device command on the simulated bus, and a boot image recorded in a SQLite registry
# (the driver from sqldrivers\ beside it).
check=$build/installcheck
rm -rf "$check" && mkdir -p "$check"
printf ':020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n' >"$check/boot.hex"
(cd "$check" && export WINEPATH= ZR_REGISTRY=registry.sqlite ZR_REGISTRY_SPOOL=spool.jsonl &&
  wine "$target\\zrtool.exe" connect --simulate &&
  wine "$target\\zrtool.exe" boot --model Zr501 --bootloader boot.hex --year 26 --week 14 --first 1 --count 1 \
    --out out 2>boot.err &&
  wine "$target\\zrtool.exe" registry list --model Zr501) | tr -d '\r'
cat "$check/boot.err"
[ ! -s "$check/boot.err" ] && [ ! -e "$check/spool.jsonl" ] && [ -s "$check/registry.sqlite" ] &&
  [ -f "$check/out/Zr501_Boot_26140001.bin" ] ||
  { echo "build.sh: the installed zrtool.exe did not write the boot image and its registry record" >&2; exit 1; }
menu=$(find "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs" -path '*ZrFlasher*' -name ZrFlasher.lnk)
[ -n "$menu" ] || { echo "build.sh: no Start-menu entry ZrFlasher.lnk" >&2; exit 1; }
echo "Start-menu entry: ${menu#"$WINEPREFIX/drive_c/"}"
WINEPATH= wine "$target\\Uninstall.exe" /S
wineserver --wait
sleep 1 # the uninstaller finishes from a copy of itself
[ ! -e "$unixtarget/zrtool.exe" ] || { echo "build.sh: the uninstaller left $target\\zrtool.exe" >&2; exit 1; }
step "done: $(basename "$zipfile") and $(basename "$setup")"
