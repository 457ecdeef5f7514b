#!/bin/sh
# service_caps_test.sh -- the capability bounding set of qzfaxd.service is
# enough for the local-identity design: qzfaxd, run as root with only the
# unit's capabilities (setpriv, as systemd would bound them), serves the
# account "nobody" over ncalrpc, reads nobody's private document (0600 in
# a 0700 directory of nobody's, reachable only with nobody's identity) and
# sends it; nobody is the administrator through --add-admin. Needs root,
# setpriv and the account nobody; skipped (77) otherwise.
#
#   service_caps_test.sh <configured-unit> <qzfaxd> <qz_faxdoc> <qz_demo>
set -eu
unit=$1 qzfaxd=$2 faxdoc=$3 demo=$4
skip() { echo "service_caps_test: $*: skipped"; exit 77; }
[ "$(id -u)" = 0 ] || skip "not root"
command -v setpriv >/dev/null 2>&1 || skip "no setpriv"
nobody_group=$(id -gn nobody 2>/dev/null) || skip "no account nobody"

# "CAP_SETUID CAP_SETGID" -> "+setuid,+setgid"
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
[ -n "$caps" ] || { echo "no CapabilityBoundingSet in $unit" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qz_caps_test.XXXXXX")
server=
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -m 700 "$work/state" "$work/client"
"$faxdoc" "$work/client/letter.tif" "CAPABILITY CHECK" >/dev/null
chown -R "nobody:$nobody_group" "$work/client"
chmod 600 "$work/client/letter.tif"
"$qzfaxd" --db "$work/state/qzfaxd.db" --add-admin nobody >/dev/null

export QZRPC_LRPC_DIR="$work/run"
setpriv --bounding-set=-all,"$caps" --inh-caps=-all -- \
  "$qzfaxd" --db "$work/state/qzfaxd.db" --data-dir "$work/state/data" --epm-port 0 \
  --connect-ms 100 --page-ms 100 >"$work/out" 2>"$work/err" &
server=$!
i=0
until grep -q ready "$work/out" 2>/dev/null; do
  i=$((i + 1))
  if [ "$i" -gt 300 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "qzfaxd did not start:" >&2; cat "$work/err" >&2; exit 1
  fi
  sleep 0.1
done
bounded=$(sed -n 's/^CapBnd:[[:space:]]*//p' "/proc/$server/status")

out=$(cd "$work/client" && setpriv --reuid=nobody --regid="$nobody_group" --clear-groups -- \
  env QZRPC_LRPC_DIR="$work/run" "$demo" "$work/client/letter.tif" 2>&1) || true
if ! printf '%s\n' "$out" | grep -q "RemoteSendFax  *-> 0x00000001" ||
   ! printf '%s\n' "$out" | grep -q "done after .*; received as receive task"; then
  echo "with capabilities $caps (CapBnd $bounded) nobody's fax was not sent:" >&2
  printf '%s\n' "$out" >&2
  cat "$work/err" >&2
  exit 1
fi
echo "service_caps_test: ok (CapBnd $bounded)"
