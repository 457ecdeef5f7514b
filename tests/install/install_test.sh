#!/bin/sh
# install_test.sh -- `cmake --install` into a scratch root (DESTDIR), then a
# small C program built against the installed tree only, once through
# pkg-config and once through find_package(qzcsif), and run; the installed
# programs and manual page are tried too.
#
#   install_test.sh <build-dir> <consumer-source-dir> <install-prefix> <cmake-generator>
# QZ_CONSUMER_FLAGS: compiler flags of the consumers (a sanitizer build's).
set -eu
build=$1 consumer=$2 prefix=$3 generator=$4
flags=${QZ_CONSUMER_FLAGS:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qz_install_test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { printf 'install_test: %s\n' "$*" >&2; exit 1; }

# DESTDIR keeps every file (an absolute destination too) below $tmp/root.
DESTDIR=$tmp/root cmake --install "$build" >"$tmp/install.log" 2>&1 \
  || { cat "$tmp/install.log"; fail "cmake --install failed"; }
root=$tmp/root$prefix
libdir=$(dirname "$(find "$root" -name 'libqzcsif.so' | head -n 1)")
[ -d "$libdir" ] || fail "no libqzcsif.so below $root"

# The library with its SOVERSION links, the module beside it.
[ "$(readlink "$libdir/libqzcsif.so")" = libqzcsif.so.1 ] || fail "libqzcsif.so -> $(readlink "$libdir/libqzcsif.so")"
[ -f "$libdir/libqzcsif.so.1" ] && [ -L "$libdir/libqzcsif.so.1" ] || fail "libqzcsif.so.1 is not a link to the library"
[ -f "$libdir/libqzmsg.so" ] || fail "no libqzmsg.so beside the library"
for f in include/qzcsif/qzcsif.h sbin/qzfaxd lib/systemd/system/qzfaxd.service; do
  [ -e "$root/$f" ] || fail "$f not installed"
done
# Nothing installed may point back into the build or source tree.
if grep -rl -e "$build" -e "$consumer" "$libdir/pkgconfig" "$libdir/cmake" "$root/lib/systemd" >"$tmp/refs"; then
  fail "installed files refer to the build tree: $(cat "$tmp/refs")"
fi

# A copy of the consumer, so nothing near the source tree is found.
cp -r "$consumer" "$tmp/src"
cd "$tmp"
unset CPATH C_INCLUDE_PATH LIBRARY_PATH LD_LIBRARY_PATH PKG_CONFIG_PATH || true

# 1. pkg-config, from the installed .pc only.
export PKG_CONFIG_LIBDIR="$libdir/pkgconfig"
[ "$(pkg-config --modversion qzcsif)" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/qzcsif.pc")" ] \
  || fail "pkg-config does not find qzcsif.pc"
# shellcheck disable=SC2046,SC2086 # flags are words
cc $flags -o consumer_pc src/main.c $(pkg-config --cflags --libs qzcsif) \
  -Wl,-rpath,"$(pkg-config --variable=libdir qzcsif)" || fail "pkg-config build failed"
ldd ./consumer_pc | grep -q "libqzcsif.so.1 => $tmp/root" || fail "consumer_pc loads another libqzcsif: $(ldd ./consumer_pc)"
./consumer_pc || fail "consumer_pc failed"
unset PKG_CONFIG_LIBDIR

# 2. find_package(qzcsif), from the installed CMake package only.
cmake -S src -B cm -G "$generator" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  >cm.log 2>&1 || { cat cm.log; fail "find_package configure failed"; }
cmake --build cm >>cm.log 2>&1 || { cat cm.log; fail "find_package build failed"; }
ldd cm/consumer | grep -q "libqzcsif.so.1 => $tmp/root" || fail "consumer loads another libqzcsif: $(ldd cm/consumer)"
./cm/consumer || fail "find_package consumer failed"

# 3. The installed programs run from where they are.
"$root/sbin/qzfaxd" --help >/dev/null || fail "installed qzfaxd --help"
"$root/sbin/qzfaxd" --check-config --db :memory: >/dev/null || fail "installed qzfaxd --check-config"
if [ -e "$root/bin/qzfax" ]; then "$root/bin/qzfax" --help >/dev/null || fail "installed qzfax --help"; fi

# 4. The manual page renders and holds both of its sources: the options of
# --help and the sections of doc/man/qzfaxd.h2m.
page=$root/share/man/man1/qzfaxd.1
if [ ! -e "$page" ]; then
  echo "install_test: no manual pages installed (help2man missing at configure time): not checked"
elif ! command -v groff >/dev/null 2>&1; then
  echo "install_test: groff missing: manual page not rendered"
else
  groff -man -Tascii -P-bcu -ww "$page" >page.txt 2>page.err || fail "groff failed: $(cat page.err)"
  [ ! -s page.err ] || fail "groff warns: $(cat page.err)"
  for want in -check-config -add-admin ADMINISTRATORS /var/lib/qzfaxd/qzfaxd.db; do
    grep -q -- "$want" page.txt || fail "rendered qzfaxd(1) lacks $want"
  done
fi
echo "install_test: ok"
