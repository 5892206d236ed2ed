# Sourced by the end-to-end scripts, before anything else they do:
#   SCRIPT PROGRAM BACKEND SANITIZED RUNNER [REASON]
# BACKEND is emulated or native; RUNNER is native where this kernel runs the program, or
# the emulator that runs it here. Enters the private namespace (namespace.sh) and puts the
# program where both root and the ordinary user run it as "corvane".
program=$1 backend=$2 sanitized=$3 runner=$4

source "$(dirname "$0")/namespace.sh"

chmod 0755 "$work"
mkdir "$work/bin"
if [ "$runner" = native ]; then
  cp "$program" "$work/bin/corvane"
else
  # The emulator hands the program "corvane" as argv[0], as the kernel would.
  cp "$program" "$work/bin/corvane.program"
  printf '#!/bin/sh\nexec %s -0 corvane %s "$@"\n' "$runner" "$work/bin/corvane.program" >"$work/bin/corvane"
fi
chmod 0755 "$work/bin"/*
export PATH="$work/bin:$PATH"
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
notice='corvane: not run as superuser, corvane() and sync() called.'

# check NAME STATUS STDOUT STDERR COMMAND...: each expected text without its last line feed.
check() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4 status
  shift 4
  "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  printf '%s' "$want_out${want_out:+$'\n'}" >"$work/want_out"
  printf '%s' "$want_err${want_err:+$'\n'}" >"$work/want_err"
  if [ "$status" = "$want_status" ] && cmp -s "$work/out" "$work/want_out" && cmp -s "$work/err" "$work/want_err"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name: $*"
    echo "  status $status, wanted $want_status"
    diff -u "$work/want_out" "$work/out" | sed -n '3,$s/^/  out /p'
    diff -u "$work/want_err" "$work/err" | sed -n '3,$s/^/  err /p'
  fi
}
