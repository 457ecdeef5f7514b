#!/bin/sh
# service_unit_test.sh -- the configured qzfaxd.service passes
# `systemd-analyze verify` without a single complaint (verify exits 0 even
# for unknown keys and bad values, so any output fails the test), with its
# programs pointed at the built qzfaxd. Skipped (77) without systemd-analyze.
#
#   service_unit_test.sh <configured-unit> <installed-qzfaxd-path> <built-qzfaxd>
set -eu
unit=$1 installed=$2 built=$3
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "service_unit_test: systemd-analyze not found: skipped"
  exit 77
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qz_unit_test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
grep -q "^ExecStart=$installed " "$unit" || { echo "ExecStart is not $installed" >&2; exit 1; }
sed "s|$installed|$built|g" "$unit" >"$tmp/qzfaxd.service"
out=$(systemd-analyze verify --man=no "$tmp/qzfaxd.service" 2>&1) || { echo "$out" >&2; exit 1; }
if [ -n "$out" ]; then
  echo "systemd-analyze verify complains:" >&2
  echo "$out" >&2
  exit 1
fi
# The capability bounding set is exactly what the local-identity design uses.
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
[ "$caps" = "CAP_SETUID CAP_SETGID CAP_NET_BIND_SERVICE" ] || { echo "capabilities: $caps" >&2; exit 1; }
echo "service_unit_test: ok"
