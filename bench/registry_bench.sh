#!/usr/bin/env bash
# Runs registry_bench against SQLite and a throwaway PostgreSQL cluster that it starts and stops:
# bench/registry_bench.sh BUILD_DIR [--pairs N] [--dir DIR]
set -eu
build=${1:-build}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d)
trap 'bash "$here/../tests/postgres_fixture.sh" stop "$state/pg"' EXIT
bash "$here/../tests/postgres_fixture.sh" start "$state/pg" >/dev/null
url=$(cat "$state/pg/url" 2>/dev/null || true)
nice -n 10 "$build/bench/registry_bench" --zrtool "$build/zrtool/zrtool" ${url:+--postgres "$url"} "$@"
