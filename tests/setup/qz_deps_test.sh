#!/bin/sh
# shellcheck disable=SC2016 # the stand-ins expand their variables when they run
# Checks the package step of ./qz ("./qz deps") against stand-ins for id,
# dpkg-query, apt-get, sudo and debconf-set-selections on a PATH that holds
# nothing else, so no real package is touched:
#  - a machine with every package does no apt work and needs no root;
#  - only the missing packages are installed, a removed one ("rc") included;
#  - not root: through sudo; neither root nor sudo, or sudo refusing, or a
#    failing apt-get: a message naming what is missing and a non-zero exit;
#  - tshark's debconf question is answered before its install.
# Usage: qz_deps_test.sh <source-dir>
set -eu
qz=${1:?usage: qz_deps_test.sh <source-dir>}/qz
sh=$(command -v sh)
env=$(command -v env)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qz_deps_test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin" "$tmp/sudo"

stub() {  # stub <dir> <name> <body>: a script that only uses shell built-ins
  printf '#!%s\n%s\n' "$sh" "$3" >"$tmp/$1/$2"
  chmod +x "$tmp/$1/$2"
}
stub bin id 'echo "$QZT_UID"'
# Answers like dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' does.
stub bin dpkg-query 'st=0
for a; do
  case $a in -*) continue ;; esac
  case " $QZT_MISSING " in *" $a "*) echo "dpkg-query: no packages found matching $a" >&2; st=1; continue ;; esac
  case " $QZT_REMOVED " in *" $a "*) echo "$a rc "; continue ;; esac
  echo "$a ii "
done
exit $st'
# What runs through sudo is logged with a "sudo " prefix.
stub bin apt-get 'echo "${QZT_VIA:-}apt-get $*" >>"$QZT_LOG"; exit "$QZT_APT_STATUS"'
stub bin debconf-set-selections 'read -r line; echo "${QZT_VIA:-}debconf-set-selections $line" >>"$QZT_LOG"'
stub sudo sudo 'if [ -n "$QZT_SUDO_REFUSES" ]; then echo "sudo: user is not in the sudoers file" >&2; exit 1; fi
QZT_VIA="sudo " "$@"'

failures=0
# name | uid | sudo: none, ok, refuses | missing | removed | apt-get status |
# expected exit: 0 or fail | expected install: "" (no apt work), root or sudo |
# packages it installs | text expected in stderr
while IFS='|' read -r name uid sudo missing removed apt want_exit want_via want_pkgs want_err; do
  [ -n "$name" ] || continue
  path=$tmp/bin
  [ "$sudo" = none ] || path=$path:$tmp/sudo
  : >"$tmp/log"
  got_exit=0
  "$env" -i PATH="$path" HOME="$tmp" QZT_LOG="$tmp/log" QZT_UID="$uid" \
    QZT_MISSING="$missing" QZT_REMOVED="$removed" QZT_APT_STATUS="$apt" \
    QZT_SUDO_REFUSES="$( [ "$sudo" = refuses ] && echo 1 || true)" \
    "$sh" "$qz" deps >"$tmp/out" 2>"$tmp/err" || got_exit=fail
  why=""; inst=""
  [ "$got_exit" = "$want_exit" ] || why="exit $got_exit, expected $want_exit"
  if [ -z "$want_via" ]; then
    [ ! -s "$tmp/log" ] || why="$why; expected no apt work"
  else
    prefix=""; [ "$want_via" = sudo ] && prefix="sudo "
    install=$(grep "^${prefix}apt-get .*install " "$tmp/log" || true)
    pkgs=$(printf '%s\n' "${install#*install }" | tr ' ' '\n' | grep -v -e '^-' -e '^$' | sort | tr '\n' ' ')
    [ "$pkgs" = "$want_pkgs " ] || why="$why; installed '$pkgs', expected '$want_pkgs'"
    case $install in *" -y "*) ;; *) why="$why; apt-get install without -y" ;; esac
    [ "$want_via" = root ] || ! grep -q '^apt-get' "$tmp/log" || why="$why; apt-get ran without sudo"
    update=$(grep -n "^${prefix}apt-get .*update" "$tmp/log" | cut -d: -f1)
    inst=$(grep -n "^${prefix}apt-get .*install " "$tmp/log" | cut -d: -f1)
    [ -n "$update" ] && [ -n "$inst" ] && [ "$update" -lt "$inst" ] || why="$why; no apt-get update before the install"
  fi
  case " $missing $removed " in
    *" tshark "*)
      if [ "$want_via" = root ] || [ "$want_via" = sudo ]; then
        seed=$(grep -n 'wireshark-common/install-setuid boolean false' "$tmp/log" | cut -d: -f1)
        [ -n "$seed" ] && [ -n "$inst" ] && [ "$seed" -lt "$inst" ] || why="$why; tshark's question not answered before the install"
      fi ;;
    *) ! grep -q debconf "$tmp/log" || why="$why; debconf touched though tshark is installed" ;;
  esac
  for word in $want_err; do
    grep -q -e "$word" "$tmp/err" || why="$why; stderr lacks '$word'"
  done
  if [ -n "$why" ]; then
    failures=$((failures + 1))
    echo "FAIL $name:${why#;}"; sed 's/^/  log: /' "$tmp/log"; sed 's/^/  err: /' "$tmp/err"
  else
    echo "ok   $name"
  fi
done <<'TABLE'
provisioned, not root, no sudo|1000|none|||0|0||||
root, one unknown, one removed|0|none|tshark|python3-impacket|0|0|root|python3-impacket tshark|
not root, through sudo|1000|ok|tshark libgtest-dev||0|0|sudo|libgtest-dev tshark|
neither root nor sudo|1000|none|tshark libgtest-dev||0|fail|||libgtest-dev tshark root sudo apt-get
sudo refuses|1000|refuses|tshark||0|fail|||sudo tshark
root, apt-get fails|0|none|cmake||100|fail|root|cmake|cmake
TABLE
echo "$failures failed"
[ "$failures" = 0 ]
