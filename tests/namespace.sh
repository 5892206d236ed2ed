# Sourced by the tests that run the program as root, before anything else they do: the
# script runs again inside a private mount and PID namespace with a tmpfs over /run, so
# it never touches the host's state and nothing it starts outlives it. Leaves a scratch
# folder in $work, removed at exit, and the counters that expect and finish keep.
if [ "$(id -u)" != 0 ]; then
  echo "skipped: $(basename "$0") needs root for its namespace"
  exit 77
fi
if [ -z "${CORVANE_IN_NAMESPACE:-}" ]; then
  CORVANE_IN_NAMESPACE=1 exec unshare --mount --pid --fork --mount-proc "$BASH" "$0" "$@"
fi
mount -t tmpfs -o mode=0755 tmpfs /run || exit 1
work=$(mktemp -d /tmp/corvane-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

passed=0 failed=0
# expect NAME CONDITION...: one case that holds when the condition does.
expect() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
