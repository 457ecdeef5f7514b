#!/bin/sh
# shellcheck disable=SC2317 # cleanup runs from the traps
# Runs the demo: starts the stand-in fax server qzfaxd with a scratch
# database and its own endpoint mapper on an unprivileged port, runs the
# example client against it, stops the server and shows the call trace log
# the client wrote.  Usage: tools/demo.sh [build-dir]
#
# Everything lives in a scratch directory that is removed at the end; the
# server is stopped however the script ends (including Ctrl-C).
set -eu
dir=${1:-build}
if [ ! -x "$dir/server/qzfaxd" ] || [ ! -x "$dir/examples/qz_demo" ]; then
  echo "demo.sh: $dir/server/qzfaxd or $dir/examples/qz_demo is not built;" \
       "run ./qz demo (or build the targets qzfaxd and qz_demo)" >&2
  exit 1
fi
build=$(cd "$dir" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qzdemo.XXXXXX")
export QZRPC_EPM_PORT="${QZRPC_EPM_PORT:-20135}"
export QZRPC_LRPC_DIR="$work/lrpc"

server=
stop_server() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=
  fi
}
cleanup() { stop_server; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$build/server/qzfaxd" --db "$work/qzfaxd.db" --epm-port "$QZRPC_EPM_PORT" \
  --listen 127.0.0.1 >"$work/qzfaxd.out" 2>"$work/qzfaxd.err" &
server=$!

# Wait up to 30 s for the ready line: a busy machine can be slow to start it.
i=0
until grep -q ready "$work/qzfaxd.out" 2>/dev/null; do
  i=$((i + 1))
  if [ "$i" -gt 300 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "qzfaxd did not start:" >&2; cat "$work/qzfaxd.err" >&2; exit 1
  fi
  sleep 0.1
done
# The port the endpoint mapper really got: when the TCP port is taken the
# server still serves the local socket, which is what the client uses here.
port=$(sed -n 's/.*endpoint mapper embedded port \([0-9]*\).*/\1/p' "$work/qzfaxd.err")
if [ "${port:-0}" = 0 ]; then
  echo "== qzfaxd is serving (TCP port $QZRPC_EPM_PORT is taken: endpoint mapper on the local socket only)"
else
  echo "== qzfaxd is serving (endpoint mapper on TCP port $port)"
fi

status=0
(cd "$work" && "$build/examples/qz_demo") || status=$?
stop_server
echo
echo "== server log (stderr of qzfaxd)"
cat "$work/qzfaxd.err"
echo
echo "== call trace log written by the client (qzlogfile.qzx)"
cat "$work/qzlogfile.qzx" 2>/dev/null || echo "(no trace log)"
exit "$status"
