#!/bin/bash
# bench/fault-campaign ends with status 2, running nothing, for words it cannot take.
#   usage: campaign_refusals.sh SOURCE_DIR CAMPAIGN_PROGRAM
failed=0
for args in "--seconds abc" "--seed x" "--seconds 5x" "--seconds -1" "--seconds" "--frobnicate 1"; do
  # shellcheck disable=SC2086
  bash "$1/bench/fault-campaign" $args --program "$2" >/dev/null 2>&1
  status=$?
  [ "$status" = 2 ] || { echo "FAIL: bench/fault-campaign $args: status $status, wanted 2"; failed=$((failed + 1)); }
done
echo "$((6 - failed)) passed, $failed failed"
[ "$failed" = 0 ]
