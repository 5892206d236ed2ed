#!/bin/bash
# End-to-end check of the service's flush schedule: whatever -f is, and however often the
# service was started, it flushes once a period (the shorter ageing time), no two flushes
# closer than that nor more than a second further apart. Each case runs in a namespace of
# its own, all at once, and traces the sync calls of the service's processes for 24 s
# from a second after the start. Skipped under an emulator, as the service's own checks
# are, and with the native backend, whose call this kernel refuses.
#   usage: end_to_end_schedule.sh PROGRAM BACKEND SANITIZED RUNNER [REASON]   (see end_to_end.sh)
set -u
if [ "$4" != native ]; then
  echo "skipped: $5"
  exit 77
fi
if [ "$2" != emulated ]; then
  echo "skipped: no kernel here has the flush control call"
  exit 77
fi
source "$(dirname "$0")/end_to_end.sh"
WINDOW=24

# One case, "PERIOD STARTS OPTIONS...": prints when the service called sync, in seconds
# from the window's start, a line each.
if [ -n "${CORVANE_CASE:-}" ]; then
  read -r period starts options <<<"$CORVANE_CASE"
  for _ in $(seq "$starts"); do corvane $options; done
  sleep 1
  read -r -a pids <<<"$(pgrep -f '^(corvane \(daemon\)|update \()' | sed 's/^/-p /' | tr '\n' ' ')"
  start=$(date +%s.%N)
  timeout "$WINDOW" strace -qq -ttt -e trace=sync -o "$work/syncs" "${pids[@]}"
  grep ' sync(' "$work/syncs" | awk -v s="$start" '{printf "%.2f\n", $2 - s}'
  exit 0
fi

cases=("6 1 -f 2 -5 6 -6 6" "4 1 -f 9 -5 4 -6 4" "7 1 -f 5 -5 7 -6 7" "3 5 -f 1 -5 3 -6 3")
for i in "${!cases[@]}"; do
  CORVANE_CASE=${cases[i]} unshare --mount --pid --fork --mount-proc "$BASH" "$0" "$@" >"$work/case.$i" &
done
wait
for i in "${!cases[@]}"; do
  read -r period starts options <<<"${cases[i]}"
  flushes=$(paste -s -d ' ' "$work/case.$i")
  expect "$options, started $starts times: $((WINDOW / period)) flushes $period s apart (flushed at: $flushes)" \
    awk -v p="$period" -v w="$WINDOW" '{gap = $1 - last} NR > 1 && gap < p - 0.3 || gap > p + 1 {bad = 1}
      {last = $1; n++} END {exit bad || w - last > p + 1 || n < int(w / p) || n > int(w / p) + 1}' "$work/case.$i"
done
finish
