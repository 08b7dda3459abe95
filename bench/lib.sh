# Shell helpers shared by the bench scripts (sourced, not run).
#
# The bench folder, nginx's configuration and the port live in $BENCH_HOME (default
# build/bench, the benchmarks' own Release build): bench/setup creates them, the other scripts
# read $BENCH_HOME/bench.env and restart nginx when it no longer runs.

BENCH_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_HOME=${BENCH_HOME:-$BENCH_REPO/build/bench}
BENCH_WWW=$BENCH_HOME/www
BENCH_ENV=$BENCH_HOME/bench.env

bench_log() { echo "[$(date +%H:%M:%S)] $*" >&2; }
bench_die() {
  echo "error: $*" >&2
  exit 1
}

# Installs the named Debian packages whose commands are missing: pairs of command and package.
bench_need() {
  local missing=()
  while [ $# -ge 2 ]; do
    command -v "$1" >/dev/null 2>&1 || [ -x "/usr/sbin/$1" ] || [ -x "$1" ] || missing+=("$2")
    shift 2
  done
  if [ ${#missing[@]} -gt 0 ]; then
    bench_log "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

bench_nginx_bin() { command -v nginx || echo /usr/sbin/nginx; }

bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Writes $1/nginx.conf serving folder $2 on 127.0.0.1:$3 (sendfile on; nginx answers ranges of
# static files by itself) and starts nginx with prefix $1. Waits until it answers. An optional
# fourth argument is one more directive of the server, e.g. "limit_rate 20m;".
bench_nginx_start() {
  local dir=$1 root=$2 port=$3 extra=${4:-}
  mkdir -p "$dir/tmp" "$dir/logs"
  local user_line=""
  # A root master hands the workers to nobody, who may not read the bench folder.
  [ "$(id -u)" -eq 0 ] && user_line="user root;"
  cat >"$dir/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log;
events { worker_connections 256; }
http {
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  access_log off;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $root;
    $extra
  }
}
EOF
  "$(bench_nginx_bin)" -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf" ||
    bench_die "nginx did not start (see $dir/logs/error.log)"
  local _
  for _ in $(seq 100); do
    curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/" 2>/dev/null | grep -q '^[1-5]' &&
      return 0
    sleep 0.1
  done
  bench_die "nginx does not answer on 127.0.0.1:$port"
}

bench_nginx_running() {
  local dir=$1
  [ -f "$dir/nginx.pid" ] && kill -0 "$(cat "$dir/nginx.pid")" 2>/dev/null
}

bench_nginx_stop() {
  local dir=$1 _
  if bench_nginx_running "$dir"; then
    kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    for _ in $(seq 50); do [ -f "$dir/nginx.pid" ] || break; sleep 0.1; done
  fi
}

# Reads bench.env (written by bench/setup) and makes sure nginx still serves the bench folder;
# sets BENCH_PORT and BENCH_URL.
bench_load() {
  [ -f "$BENCH_ENV" ] || bench_die "run bench/setup first ($BENCH_ENV is missing)"
  # shellcheck disable=SC1090
  . "$BENCH_ENV"
  if ! bench_nginx_running "$BENCH_HOME/nginx"; then
    BENCH_PORT=$(bench_free_port)
    bench_log "nginx is not running; starting it again on port $BENCH_PORT"
    bench_nginx_start "$BENCH_HOME/nginx" "$BENCH_WWW" "$BENCH_PORT"
    echo "BENCH_PORT=$BENCH_PORT" >"$BENCH_ENV"
  fi
  BENCH_URL=http://127.0.0.1:$BENCH_PORT
}

# Release build of the host program, module, engine, local services and engine_fetch in $1 (default
# $BENCH_HOME). Prints nothing unless the build fails.
bench_build() {
  local build=${1:-$BENCH_HOME}
  bench_log "building lumoget, the module, the engine and lumo-services (Release) in $build"
  cmake -S "$BENCH_REPO" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMO_BUILD_TESTS=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; bench_die "configure failed"; }
  local targets=(lumoget lumo-services)
  [ -f "$BENCH_REPO/bench/engine_fetch.cpp" ] && targets+=(engine_fetch)
  cmake --build "$build" --target "${targets[@]}" -j2 >"$build.build.log" 2>&1 ||
    { tail -30 "$build.build.log"; bench_die "build failed"; }
}

# One benchmark at a time on this machine: they share the endpoint ports and disturb each
# other's timings. Waits for a running one (lock held until the script exits).
bench_lock() {
  mkdir -p "$BENCH_HOME/run"
  exec 9>"$BENCH_HOME/run/bench.lock"
  if ! flock -n 9; then
    bench_log "another benchmark runs (lock $BENCH_HOME/run/bench.lock); waiting for it"
    flock 9
  fi
}

# A fresh folder of this invocation under $BENCH_HOME/run, so that concurrent or earlier runs
# never share or delete each other's files: bench_workdir NAME prints its path.
bench_workdir() {
  mkdir -p "$BENCH_HOME/run"
  local dir
  dir=$(mktemp -d "$BENCH_HOME/run/$1.XXXXXX")
  chmod 755 "$dir"
  echo "$dir"
}

# Seconds since the epoch with nanoseconds.
bench_now() { date +%s.%N; }

# Runs a command under /usr/bin/time -v with its output in $BENCH_OUT_LOG (or discarded) and
# prints "<wall seconds> <peak RSS KiB> <user+sys CPU seconds> <exit status>". The wall time is
# taken around the command with nanosecond clocks, not from time's 10 ms figure.
bench_timed() {
  local stats
  stats=$(mktemp)
  local start end status=0
  start=$(bench_now)
  /usr/bin/time -v -o "$stats" "$@" >"${BENCH_OUT_LOG:-/dev/null}" 2>&1 || status=$?
  end=$(bench_now)
  local rss user sys
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$stats")
  user=$(awk -F': ' '/User time \(seconds\)/ {print $2}' "$stats")
  sys=$(awk -F': ' '/System time \(seconds\)/ {print $2}' "$stats")
  rm -f "$stats"
  python3 -c "print(f'{$end - $start:.4f} ${rss:-0} {${user:-0} + ${sys:-0}:.3f} $status')"
}

# Local stand-ins for the module's endpoints (CDN configuration :6016, HTTP DNS :6017,
# telemetry :6015, the ports the module is built with). bench_services_start DIR BUILD.
bench_services_start() {
  local dir=$1 build=$2 port waited=0
  # Another program's services (not a benchmark of this version, which holds the lock): wait
  # for them to go, at most 10 minutes.
  for port in 6015 6016 6017; do
    while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
      [ $waited -eq 0 ] && bench_log "port $port is in use by another program; waiting for it"
      waited=$((waited + 1))
      [ $waited -le 600 ] || bench_die "port $port is still in use; stop the other lumo-services"
      sleep 1
    done
  done
  mkdir -p "$dir/services-root"
  rm -f "$dir/services.ready"
  "$build/bin/lumo-services" --root "$dir/services-root" --files-port 0 --resolved-port 0 \
    --ready-file "$dir/services.ready" >"$dir/services.log" 2>&1 &
  BENCH_SERVICES_PID=$!
  local _
  for _ in $(seq 100); do
    [ -f "$dir/services.ready" ] && return 0
    kill -0 "$BENCH_SERVICES_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/services.log" >&2
  bench_die "lumo-services did not start"
}

bench_services_stop() {
  if [ -n "${BENCH_SERVICES_PID:-}" ]; then
    kill "$BENCH_SERVICES_PID" 2>/dev/null || true
    wait "$BENCH_SERVICES_PID" 2>/dev/null || true
    BENCH_SERVICES_PID=
  fi
}

# Fails unless nothing answers on the module's endpoint ports (the "services down" case, and
# before bench_services_start, which checks again).
bench_services_absent() {
  local port
  for port in 6015 6016 6017; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      bench_die "port $port answers: the services-down run needs it free"
    fi
  done
}

bench_machine() {
  local cpu
  cpu=$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)
  echo "$(nproc) cores ($cpu), $(free -g | awk '/Mem:/ {print $2}') GiB RAM, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
}
