#!/bin/sh
# Runs the demo: starts the stand-in fax server qzfaxd with a scratch
# database and its own endpoint mapper on an unprivileged port, runs the
# example client against it, stops the server and shows the call trace log
# the client wrote.  Usage: tools/demo.sh [build-dir]
set -eu
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qzdemo.XXXXXX")
export QZRPC_EPM_PORT="${QZRPC_EPM_PORT:-20135}"
export QZRPC_LRPC_DIR="$work/lrpc"

"$build/server/qzfaxd" --db "$work/qzfaxd.db" --epm-port "$QZRPC_EPM_PORT" \
  --listen 127.0.0.1 >"$work/qzfaxd.out" 2>"$work/qzfaxd.err" &
server=$!
stop_server() { kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }
trap stop_server EXIT INT TERM

i=0
until grep -q ready "$work/qzfaxd.out" 2>/dev/null; do
  i=$((i + 1))
  if [ "$i" -gt 100 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "qzfaxd did not start:" >&2; cat "$work/qzfaxd.err" >&2; exit 1
  fi
  sleep 0.1
done
echo "== qzfaxd is serving (endpoint mapper on TCP port $QZRPC_EPM_PORT)"

status=0
(cd "$work" && "$build/examples/qz_demo") || status=$?
stop_server
trap - EXIT INT TERM
echo
echo "== server log (stderr of qzfaxd)"
cat "$work/qzfaxd.err"
echo
echo "== call trace log written by the client: $work/qzlogfile.qzx"
cat "$work/qzlogfile.qzx" 2>/dev/null || echo "(no trace log)"
exit "$status"
