#!/usr/bin/env bash
# Installs the build tree into a prefix of its own, builds the example
# consumer against it twice (pkg-config, find_package), starts the installed
# krpctl host with private object and registry folders and a private root,
# and checks that both builds read and write through it, and that the value
# stays in the store after the orderly stop.
#   consumer_test.sh BUILD_DIR SOURCE_DIR C_COMPILER PKG_CONFIG
# Exit 0 pass, 1 fail, 77 skipped (no pkg-config).
set -u
build=$1 src=$2 cc=$3 pkgconfig=$4
skip=77

fail() { echo "FAIL: $*" >&2; [ -n "${host:-}" ] && kill -TERM "$host" 2>/dev/null; exit 1; }

if [ -z "$pkgconfig" ] || ! command -v "$pkgconfig" >/dev/null; then
  echo "pkg-config not found: skipped"; exit $skip
fi
mkdir -p "$build/install-tests"
work=$(mktemp -d "$build/install-tests/consumer.XXXXXX") || fail "no work folder"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"

# pkg-config, as a Makefile or a shell line would use it.
libdir=$(PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=$(echo "$prefix"/lib*/pkgconfig "$prefix"/lib/*/pkgconfig | tr ' ' ':') \
  "$pkgconfig" --variable=libdir krplib) || fail "pkg-config does not know krplib"
flags=$(PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=$libdir/pkgconfig "$pkgconfig" --cflags --libs krplib)
"$cc" -std=c99 -Wall -Wextra -Werror "$src/examples/consumer/consumer.c" $flags \
  -Wl,-rpath,"$libdir" -o "$work/consumer-pc" 2>"$work/cc.log" || fail "cc: $(cat "$work/cc.log")"

# find_package, in a CMake project of its own.
cmake -S "$src/examples/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || fail "cmake: $(cat "$work/cmake.log")"
consumer_cmake=$work/cmake/krplib_consumer

# The installed host, with private folders; it records its root in a
# registry folder of its own (KST_REGISTRY unset) and logs with the logging
# library installed beside it (KST_TRACELIB unset).
mkdir -m 0700 "$work/objects"
export KST_OBJECT_DIR=$work/objects TRACELIB_FILE=$work/host.log
unset KST_REGISTRY KST_TRACELIB
"$prefix/bin/krpctl" host --root "$work/root" 2>"$work/host.err" &
host=$!
export KST_REGISTRY=$work/root/registry
serving=no
for _ in $(seq 600); do
  if "$prefix/bin/krpctl" status 2>/dev/null | grep -q "service: serving other processes"; then
    serving=yes; break
  fi
  kill -0 "$host" 2>/dev/null || break
  sleep 0.1
done
[ $serving = yes ] || fail "the host did not serve: $(cat "$work/host.err")"

name=vendor.example.greeting
out=$("$work/consumer-pc" $name "hello from pkg-config") || fail "consumer (pkg-config): $out"
grep -q "^krplib interface version 8$" <<<"$out" || fail "interface version: $out"
grep -q "^$name = hello from pkg-config (through the host)$" <<<"$out" || fail "write: $out"
out=$("$consumer_cmake" $name) || fail "consumer (find_package): $out"
grep -q "^$name = hello from pkg-config (through the host)$" <<<"$out" || fail "read: $out"

kill -TERM "$host"
wait "$host"; rc=$?; host=
[ $rc -eq 0 ] || fail "host exit status $rc: $(cat "$work/host.err")"
grep -q "Orderly shutdown completed" "$work/host.log" || fail "no orderly stop in the log"
# The host handed its own (installed) logging library on to the root.
case $(readlink "$work/root/lib/libtracelib.so") in
  "$prefix"/*) ;;
  *) fail "root/lib/libtracelib.so is not the installed library" ;;
esac
out=$("$consumer_cmake" $name) || fail "consumer after the stop: $out"
grep -q "^$name = hello from pkg-config (directly)$" <<<"$out" || fail "direct read: $out"

rm -rf "$work"
echo "pass"
