#!/usr/bin/env bash
# Installs the build tree into a prefix of its own and checks the host's user
# unit there: its type follows the build (notify with libsystemd, else
# simple), it runs the installed krpctl, and the service manager's own check
# accepts it (when systemd-analyze is installed).
#   user_unit_test.sh BUILD_DIR UNIT_TYPE
set -u
build=$1 type=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$build/install-tests"
work=$(mktemp -d "$build/install-tests/unit.XXXXXX") || fail "no work folder"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"
unit=$prefix/lib/systemd/user/krplib-host.service
[ -f "$unit" ] || fail "no unit at $unit"
grep -qx "Type=$type" "$unit" || fail "not Type=$type: $(grep '^Type=' "$unit")"
grep -qx "ExecStart=$prefix/bin/krpctl host --root \${KRPLIB_ROOT}" "$unit" ||
  fail "ExecStart: $(grep '^ExecStart=' "$unit")"
if command -v systemd-analyze >/dev/null; then
  # A user manager of its own for the check: a private runtime folder.
  mkdir -m 0700 "$work/runtime"
  XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify "$unit" >"$work/verify.log" 2>&1 ||
    fail "systemd-analyze: $(cat "$work/verify.log")"
fi
rm -rf "$work"
echo pass
