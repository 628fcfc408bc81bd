# Shell pieces the benchmarks share: sourced from the repository's root,
# never run on their own.

# cache_value NAME: a CMake cache variable of the build in $build.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# compiled_port: the loopback port of the package address compiled into the
# build in $build. Ends the script when that address is not on 127.0.0.1,
# or when something serves the port already.
compiled_port() {
  local url port
  url=$(cache_value UPDATER_PACKAGE_URL)
  port=$(sed -n 's|^http://127\.0\.0\.1:\([0-9]*\)/hotels/package/update\.zip$|\1|p' <<<"$url")
  [ -n "$port" ] || { echo "bench: the package address $url is not on 127.0.0.1" >&2; exit 1; }
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "bench: something serves port $port already" >&2
    exit 1
  fi
  echo "$port"
}

# free_port: a loopback port that nothing uses now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_for_port PORT: returns once something listens on the loopback port;
# ends the script when nothing does within 10 s.
wait_for_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "bench: nothing listens on port $1" >&2
  exit 1
}

# serve SERVED_DIR PORT CREDENTIALS STATE_DIR: starts the package server
# (scripts/serve-package) in the background, its process id in $nginx_pid,
# and waits until it answers.
serve() {
  scripts/serve-package "$@" &
  nginx_pid=$!
  wait_for_port "$2"
}

# median: the median of the numbers on standard input, one a line.
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
