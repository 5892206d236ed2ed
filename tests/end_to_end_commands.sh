#!/bin/bash
# End-to-end checks of the built program's commands, one line a case: the command, its
# status and its exact standard output and standard error. Runs as root inside a private
# mount and PID namespace with a tmpfs over /run, so it never touches the host's state.
#   usage: end_to_end_commands.sh PROGRAM BACKEND SANITIZED RUNNER   (see end_to_end.sh)
set -u
source "$(dirname "$0")/end_to_end.sh"

usage='usage: corvane [-012345678] [-d] [-s sync-delay] [-f flush-delay]
  -0  Max fraction of LRU list to examine for dirty blocks 
  -1  Max number of dirty blocks to write each time corvane activated 
  -2  Num of clean buffers to be loaded onto free list by refill_freelist 
  -3  Dirty block threshold for activating corvane in refill_freelist 
  -4  Percentage of cache to scan for free clusters 
  -5  Time for data buffers to age before flushing 
  -6  Time for non-data (dir, bitmap, etc) buffers to age before flushing 
  -7  Time buffer cache load average constant 
  -8  LAV ratio (used to determine threshold for buffer fratricide) 
  -d  Display kernel parameters
  -f  Call flush this often (in seconds)
  -h  Give this help
  -s  If acting as update then call sync this often (in seconds)'
number() { printf 'Option -%s requires a number from %s, not "%s"!\n%s' "$1" "$2" "$3" "$usage"; }
any='-2147483648 to 2147483647' delay='1 to 2147483647'
version='corvane version 1.4'

# What every build does alike.
check "help"                       1 "" "$usage"                                      corvane -h
check "unknown option"             1 "" "corvane: invalid option -- '9'"$'\n'"$usage" corvane -9
check "missing argument"           1 "" "corvane: option requires an argument -- 'f'"$'\n'"$usage" corvane -f
check "letters for a number"       1 "" "$(number 3 "$any" abc)"                      corvane -3 abc
check "letter O for zero"          1 "" "$(number 3 "$any" 4O)"                       corvane -3 4O
check "trailing text"              1 "" "$(number 5 "$any" 12x)"                      corvane -5 12x
check "empty number"               1 "" "$(number 0 "$any" '')"                       corvane -0 ''
check "beyond 32 bits"             1 "" "$(number 8 "$any" 2147483648)"               corvane -8 2147483648
check "negative flush delay"       1 "" "$(number f "$delay" -1)"                     corvane -f -1
check "no flush delay"             1 "" "$(number f "$delay" 0)"                      corvane -f 0
check "no sync delay, signed"      1 "" "$(number s "$delay" -0)"                     corvane -s -0
check "garbage sync delay"         1 "" "$(number s "$delay" 3x)"                     corvane -s 3x
check "user: one-shot flush"       0 "" "$notice"                                     as_nobody corvane
check "user: delays play no part"  0 "" "$notice"                                     as_nobody corvane -f 2 -s 10
check "user: operands ignored"     0 "" "$notice"                                     as_nobody corvane operand

if [ "$backend" = native ]; then
  # The kernel here has no flush control call: every call is refused with ENOSYS.
  refused=$'ostrevan:(0) corvane(00000002,&d)=-1 38\ncorvane: Function not implemented'
  check "listing refused"          1 "$version" "$refused"                            corvane -d
  check "user: listing refused"    1 "$version" "$refused"                            as_nobody corvane -d
  check "listing twice, refused"   1 "$version"$'\n'"$version" "$refused"$'\n'"$refused" corvane -d -d
  check "write refused"            1 "" "ostrevan: corvane(9,40)=-1 38"               corvane -3 40 -d
  check "user: write refused"      1 "" "ostrevan: corvane(3,-5)=-1 38"               as_nobody corvane -0 -5
else
  listing() {  # values of parameters 0 to 8
    printf '%s\n' "$version"
    printf '%d: %5d %s\n' \
      0 "$1" "Max fraction of LRU list to examine for dirty blocks" \
      1 "$2" "Max number of dirty blocks to write each time corvane activated" \
      2 "$3" "Num of clean buffers to be loaded onto free list by refill_freelist" \
      3 "$4" "Dirty block threshold for activating corvane in refill_freelist" \
      4 "$5" "Percentage of cache to scan for free clusters" \
      5 "$6" "Time for data buffers to age before flushing" \
      6 "$7" "Time for non-data (dir, bitmap, etc) buffers to age before flushing" \
      7 "$8" "Time buffer cache load average constant" \
      8 "$9" "LAV ratio (used to determine threshold for buffer fratricide)."
  }
  defaults=$(listing 25 500 64 256 15 30 5 60 2)
  state=/run/corvane/parameters

  check "listing of defaults"      0 "$defaults" ""                                   corvane -d
  expect "a listing creates nothing"  test ! -e /run/corvane
  check "user: write refused"      1 "" "ostrevan: corvane(9,5)=-1 1"                 as_nobody corvane -3 5
  check "write, then listing"      0 "$(listing 25 500 64 40 15 3600 5 60 2)" ""      corvane -3 40 -5 3600 -d
  check "listing, then write"      0 "$(listing 25 500 64 40 15 3600 5 60 2)" ""      corvane -d -3 41
  check "the write was kept"       0 "$(listing 25 500 64 41 15 3600 5 60 2)" ""      corvane -d
  check "user: listing"            0 "$(listing 25 500 64 41 15 3600 5 60 2)" ""      as_nobody corvane -d
  check "listing to a full disk"   1 "" "corvane: standard output: No space left on device" sh -c 'corvane -d >/dev/full'
  check "listing twice"            0 "$(listing 25 500 64 41 15 3600 5 60 2)"$'\n'"$(listing 25 500 64 41 15 3600 5 60 2)" "" corvane -d -d
  expect "state folder is root's, 0755"  test "$(stat -c '%U %a' /run/corvane)" = "root 755"
  before=$(cat "$state")
  check "rejected value"           1 "" "ostrevan: corvane(3,101)=-1 22"              corvane -0 101
  check "negative value"           1 "" "ostrevan: corvane(11,-1)=-1 22"              corvane -4 -1 -d
  check "bad number after a write" 1 "" "$(number 2 "$any" x)"                        corvane -1 7 -2 x -3 9
  expect "file changed only by -1"  test "$(cat "$state")" = "$(printf '%s\n' "$before" | sed '2s/.*/7/')"

  printf 'garbage\n' >"$state"
  check "corrupt file"             1 "$version" $'ostrevan:(0) corvane(00000002,&d)=-1 5\ncorvane: Input/output error' corvane -d
  check "corrupt file, one stream" 0 "$version"$'\nostrevan:(0) corvane(00000002,&d)=-1 5\ncorvane: Input/output error' "" sh -c 'corvane -d 2>&1 | cat'
  check "corrupt file, write"      1 "" "ostrevan: corvane(3,5)=-1 5"                 corvane -0 5
  expect "corrupt file kept"        test "$(cat "$state")" = garbage
  rm -rf /run/corvane
  # The modes are the same whatever the writer's umask and capabilities: anybody may
  # still list.
  check "write under umask 0777, no capability" 0 "" ""                               sh -c 'umask 0777; exec setpriv --inh-caps=-all --bounding-set=-all corvane -3 11 -d >/dev/null'
  expect "folder 0755, file 0644, lock 0700" test "$(stat -c %a /run/corvane /run/corvane/parameters /run/corvane/parameters.lock | paste -s -d ' ')" = "755 644 700"
  check "user: lists what was written" 0 "$(listing 25 500 64 11 15 30 5 60 2)" ""    as_nobody corvane -d
  # A writer that never lets go holds up the others for five seconds at most.
  flock /run/corvane/parameters.lock sleep 60 &
  holder=$!
  # Not before the holder holds it.
  while flock -n /run/corvane/parameters.lock true; do sleep 0.01; done
  check "lock held: the write gives up" 1 "" "ostrevan: corvane(9,5)=-1 16"           timeout 10 corvane -3 5 -d
  check "lock held: nor does a start" 1 "" "ostrevan: corvane(15,2)=-1 16"            timeout 10 corvane -6 2 -f 3600
  expect "lock held: nothing started" test -z "$(pgrep -f '^(corvane \(daemon\)|update \()')"
  pkill -P "$holder"; wait "$holder"
  check "lock let go: the write goes through" 0 "$(listing 25 500 64 6 15 30 5 60 2)" "" corvane -3 6 -d
  rm -rf /run/corvane
  mkdir /run/real && ln -s /run/real /run/corvane
  check "linked state folder"      1 "" "ostrevan: corvane(3,5)=-1 20"                corvane -0 5
  expect "nothing written through" test -z "$(ls -A /run/real)"
  rm -f /run/corvane
fi

if [ "$sanitized" = no ]; then
  # The C library, and on some targets its dynamic loader, which lends the stack guard.
  expect "needs libc alone" test "$(readelf -d "$program" | awk '/NEEDED/ && !/ld-linux/ {print $NF}')" = "[libc.so.6]"
  expect "binds every symbol at start-up" sh -c "readelf -d '$program' | grep -q BIND_NOW"
  expect "then makes the table read-only" sh -c "readelf -l '$program' | grep -q GNU_RELRO"
  if [ "$backend" = emulated ] && [ "$runner" != native ]; then
    echo "skipped: the heap checks: valgrind cannot follow the program into $runner"
  elif [ "$backend" = emulated ] && ! command -v valgrind >/dev/null; then
    echo "skipped: the heap checks: no valgrind here"
  elif [ "$backend" = emulated ]; then
    # valgrind runs 32-bit programs only with the 32-bit C library's debugging symbols.
    for args in "-d" "-h" "-9" "-0 101" "-3 x"; do
      valgrind corvane $args >/dev/null 2>"$work/valgrind"
      expect "no heap use: corvane $args" grep -q 'total heap usage: 0 allocs' "$work/valgrind"
    done
    as_nobody valgrind corvane >/dev/null 2>"$work/valgrind"
    expect "no heap use: ordinary user" grep -q 'total heap usage: 0 allocs' "$work/valgrind"
  fi
fi

finish
