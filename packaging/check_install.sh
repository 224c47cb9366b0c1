#!/usr/bin/env bash
# Installs the build tree BUILD_DIR into a fresh prefix and checks the
# result: the three programs, and the user unit naming the installed server,
# verified by systemd-analyze when the machine has it.
#
#   packaging/check_install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
runtime=$(mktemp -d)
trap 'rm -rf "$prefix" "$runtime"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "check_install: $*" >&2; exit 1; }
for program in hollowmarch hmdevice hmpeer; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
[ -f "$prefix/share/hollowmarch/hollowmarch.lua" ] || fail "the Wireshark dissector is not installed"
if command -v help2man >/dev/null; then
  for program in hollowmarch hmdevice hmpeer; do
    page="$prefix/share/man/man1/$program.1"
    [ -s "$page" ] || fail "share/man/man1/$program.1 is not installed"
    grep -q "^.SH OPTIONS" "$page" || fail "$program.1 does not tell the options"
  done
fi
unit=$(find "$prefix" -name hollowmarch.service)
[ -n "$unit" ] || fail "the unit is not installed"
case "$unit" in
  "$prefix"/lib*/systemd/user/hollowmarch.service) ;;
  *) fail "the unit is in ${unit#"$prefix"/}, not a user unit folder" ;;
esac
grep -qx "ExecStart=$prefix/bin/hollowmarch --root %h/.local/state/hollowmarch" "$unit" ||
  fail "ExecStart does not name the installed program: $(grep ExecStart= "$unit")"
grep -qx "Type=notify" "$unit" || fail "the unit is not Type=notify"

if command -v systemd-analyze >/dev/null; then
  # The README's command: the user manager's verification needs a runtime
  # folder, the session's or a new one.
  chmod 700 "$runtime"
  out=$(XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$runtime} systemd-analyze --user verify "$unit" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify warns: $out"
  echo "installed and verified: ${unit#"$prefix"/}"
else
  echo "installed: ${unit#"$prefix"/} (no systemd-analyze here: not verified)"
fi
