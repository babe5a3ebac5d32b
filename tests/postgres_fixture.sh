#!/usr/bin/env bash
# Starts ("start DIR") or stops ("stop DIR") a throwaway PostgreSQL cluster on 127.0.0.1 for the registry tests.
# DIR receives "url" (the server's admin URL) or "skip" (why no server could be had); the cluster itself lives
# in a private temporary directory that the postgres user can reach, named in DIR/cluster.
set -u
action=${1:?start or stop}
dir=${2:?state directory}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)

as_server() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop_cluster() {
    if [ -f "$dir/cluster" ]; then
        cluster=$(cat "$dir/cluster")
        if [ -n "$bin" ] && [ -f "$cluster/data/postmaster.pid" ]; then
            as_server "$bin/pg_ctl" -D "$cluster/data" -m immediate -t 20 stop >/dev/null 2>&1
        fi
        rm -rf "$cluster"
    fi
    rm -rf "$dir"
}

if [ "$action" = stop ]; then
    stop_cluster
    exit 0
fi

# A cluster left by an interrupted run is stopped first, so nothing waits on it.
stop_cluster
mkdir -p "$dir"
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
    echo "PostgreSQL server not installed (no /usr/lib/postgresql/*/bin/initdb)" >"$dir/skip"
    exit 0
fi
if [ "$(id -u)" = 0 ] && ! id postgres >/dev/null 2>&1; then
    echo "PostgreSQL server installed without its postgres user" >"$dir/skip"
    exit 0
fi
cluster=$(mktemp -d /tmp/zr-registry-pg.XXXXXX)
echo "$cluster" >"$dir/cluster"
if [ "$(id -u)" = 0 ]; then chown postgres "$cluster"; fi
if ! as_server "$bin/initdb" -D "$cluster/data" -U postgres --auth=trust -E UTF8 --no-sync \
        >"$dir/initdb.log" 2>&1; then
    echo "initdb failed:" >&2
    cat "$dir/initdb.log" >&2
    exit 1
fi
for port in $(seq 55432 55531); do
    # A port something already listens on is passed over.
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then continue; fi
    if as_server "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 30 \
            -o "-p $port -k $cluster -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null 2>&1; then
        echo "postgresql://postgres@127.0.0.1:$port/postgres" >"$dir/url"
        echo "PostgreSQL test server on port $port"
        exit 0
    fi
done
echo "no PostgreSQL test server could be started:" >&2
cat "$cluster/server.log" >&2 2>/dev/null
exit 1
