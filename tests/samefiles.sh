#!/usr/bin/env bash
# zrtool.exe under Wine and the Linux zrtool, given the same inputs, write byte-identical files: hex2bin, upg create
# (the upgrade file and its _app.bin) and a boot series. Usage: samefiles.sh LINUX_ZRTOOL ZRTOOL_EXE WORKDIR
set -euo pipefail
linux=$1 exe=$2 work=$3
if [ -z "$linux" ] || [ ! -x "$linux" ]; then
  echo "SKIPPED: no Linux zrtool to compare with (configure with -DZR_LINUX_ZRTOOL=...)"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work/linux" "$work/windows"
cd "$work"

# An Intel HEX file: $1 bytes from address $2, pseudo-random from seed $3, 16-byte records.
hexfile() {
  local size=$1 address=$2 seed=$3 upper=-1 i j
  for ((i = 0; i < size; i += 16)); do
    local at=$((address + i))
    if (((at >> 16) != upper)); then
      upper=$((at >> 16))
      local s=$(((2 + 4 + (upper >> 8) + (upper & 255)) & 255))
      printf ':02000004%04X%02X\r\n' $upper $(((256 - s) & 255))
    fi
    local line sum=$((16 + ((at >> 8) & 255) + (at & 255)))
    line=$(printf '10%04X00' $((at & 0xFFFF)))
    for ((j = 0; j < 16; j++)); do
      seed=$(((seed * 1103515245 + 12345) & 0x7FFFFFFF))
      local b=$(((seed >> 16) & 255))
      line+=$(printf '%02X' $b)
      sum=$((sum + b))
    done
    printf ':%s%02X\r\n' "$line" $(((256 - (sum & 255)) & 255))
  done
  printf ':00000001FF\r\n'
}
hexfile 16384 $((0x08002000)) 7 >app.hex
hexfile 8128 $((0x08000000)) 11 >boot.hex

# Each tool in its own folder, from the same inputs; the registry kept out of it.
run() {
  local dir=$1; shift
  (cd "$dir" && "$@" hex2bin ../app.hex --first 0x08000000 --last 0x0800FFFF -o flash.bin &&
    "$@" upg create --model Zr501 ../app.hex -o Zr501_v1.23.upg &&
    "$@" boot --model Zr501 --bootloader ../boot.hex --year 26 --week 14 --first 10 --count 3 --no-registry \
      --out series) >"$dir.log" 2>&1 || { cat "$dir.log"; echo "$dir: zrtool failed"; exit 1; }
}
run linux "$linux"
run windows wine "$exe"
count=$(find linux -type f | wc -l)
[ "$count" -ge 6 ] || { echo "only $count files from the Linux zrtool"; exit 1; }
diff -r linux windows
echo "$count files byte-identical: $(cd linux && find . -type f | sort | tr '\n' ' ')"
