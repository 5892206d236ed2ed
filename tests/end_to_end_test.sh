#!/bin/bash
# End-to-end checks of the built program, one line a case: the command, its status and
# its exact standard output and standard error. Runs as root inside a private mount and
# PID namespace with a tmpfs over /run, so it never touches the host's state and nothing
# it starts outlives it.
#   usage: end_to_end_test.sh PROGRAM BACKEND SANITIZED   (BACKEND: emulated or native)
set -u
program=$1 backend=$2 sanitized=$3

source "$(dirname "$0")/namespace.sh"

# A folder the ordinary user may read, so that both run the program as "corvane".
chmod 0755 "$work"
mkdir "$work/bin"
cp "$program" "$work/bin/corvane"
chmod 0755 "$work/bin/corvane"
export PATH="$work/bin:$PATH"
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

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
any='-2147483648 to 2147483647' delay='0 to 2147483647'
version='corvane version 1.4'
notice='corvane: not run as superuser, corvane() and sync() called.'

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
  denied=$'ostrevan:(0) corvane(00000002,&d)=-1 1\ncorvane: Operation not permitted'

  check "listing of defaults"      0 "$defaults" ""                                   corvane -d
  expect "a listing creates nothing"  test ! -e /run/corvane
  check "user: listing refused"    1 "$version" "$denied"                             as_nobody corvane -d
  check "user: write refused"      1 "" "ostrevan: corvane(9,5)=-1 1"                 as_nobody corvane -3 5
  check "write, then listing"      0 "$(listing 25 500 64 40 15 3600 5 60 2)" ""      corvane -3 40 -5 3600 -d
  check "listing, then write"      0 "$(listing 25 500 64 40 15 3600 5 60 2)" ""      corvane -d -3 41
  check "the write was kept"       0 "$(listing 25 500 64 41 15 3600 5 60 2)" ""      corvane -d
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
  check "corrupt file, write"      1 "" "ostrevan: corvane(3,5)=-1 5"                 corvane -0 5
  expect "corrupt file kept"        test "$(cat "$state")" = garbage
  rm -rf /run/corvane
  mkdir /run/real && ln -s /run/real /run/corvane
  check "linked state folder"      1 "" "ostrevan: corvane(3,5)=-1 20"                corvane -0 5
  expect "nothing written through" test -z "$(ls -A /run/real)"
  rm -f /run/corvane
fi

# The background service. Its processes ignore SIGTERM and SIGINT; SIGKILL ends them.
titled() { pgrep -x -f "$(printf '%s' "$1" | sed 's/[()]/\\&/g')"; }
stop_all() {
  pkill -KILL -f '^(corvane \(daemon\)|update \()'
  while pgrep -f '^(corvane \(daemon\)|update \()' >/dev/null; do sleep 0.05; done
}
count() { titled "$1" | wc -l; }
# The processes start, retitle and end in their own time: conditions on them are polled
# for up to five seconds.
eventually() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.05; done
  return 1
}
wait_titled() { eventually titled "$1" >/dev/null && titled "$1"; }
counted() { [ "$(count "$1")" = "$2" ]; }
ignores() {  # SIGINT, SIGTERM and SIGCHLD are bits 1, 14 and 16 of the mask
  local mask
  mask=$(awk '/^SigIgn/ {print $2}' "/proc/$1/status")
  [ $((0x$mask & 0x14002)) = $((0x14002)) ]
}
detached() {  # a session leader without a terminal, working in /
  [ "$(ps -o sid= -p "$1" | tr -d ' ')" = "$1" ] && [ "$(ps -o tty= -p "$1" | tr -d ' ')" = "?" ] &&
    [ "$(readlink "/proc/$1/cwd")" = / ] && ignores "$1"
}
# trace PID SECONDS [SYSCALLS]: what the process calls meanwhile, a name a line.
trace() {
  timeout "$2" strace -qq -p "$1" ${3:+-e trace=$3} 2>&1 | sed -n 's/^\([a-z_0-9]*\)(.*/\1/p'
}
sleeps_and_syncs_only() { ! printf '%s\n' "$1" | grep -q -v -E '^(sync|clock_nanosleep|clock_nanosleep_time64|nanosleep|restart_syscall)$'; }
syncs() { printf '%s\n' "$1" | grep -c '^sync$'; }

check "user: nothing left behind"  0 "" "$notice"                                     as_nobody corvane -f 1
expect "user: no background process" test -z "$(pgrep -f '^(corvane \(|update \()')"

# Descriptors the caller holds open must not reach the background processes.
check "start"                      0 "" ""                                            bash -c 'exec 5>/dev/null 250>/dev/null; exec timeout 5 corvane'
update=$(wait_titled "update (corvane)")
expect "update process titled"     test -n "$update"
expect "update process detached"   detached "$update"
expect "update process holds no descriptor" test -z "$(ls "/proc/$update/fd")"
kill -TERM "$update"; kill -INT "$update"
if [ "$backend" = native ]; then
  expect "kernel gave the daemon back" eventually counted "corvane (daemon)" 0
else
  daemon=$(wait_titled "corvane (daemon)")
  expect "kernel-daemon process titled"   test -n "$daemon"
  expect "kernel-daemon process detached" detached "$daemon"
  fds=$(ls "/proc/$daemon/fd")
  expect "kernel-daemon holds its lock alone" test "$(readlink "/proc/$daemon/fd/$fds")" = /run/corvane/daemon.lock -a "$fds" -gt 2
  expect "lock is close-on-exec"       test $((0$(awk '/^flags/ {print $2}' "/proc/$daemon/fdinfo/$fds") & 02000000)) != 0
  kill -TERM "$daemon"; kill -INT "$daemon"
fi
sleep 0.2
expect "SIGTERM and SIGINT end nothing" kill -0 "$update"
check "start through a pipe"       0 "" ""                                            timeout 5 bash -c 'corvane | cat'
expect "a second update process"   eventually counted "update (corvane)" 2
# The second start's kernel-daemon process is refused and ends.
expect "one kernel-daemon at a time" eventually counted "corvane (daemon)" "$([ "$backend" = native ] && echo 0 || echo 1)"
stop_all

# The order of the start-up, and what each child does first.
# (LeakSanitizer cannot stop the world under strace, and would end the run with 1.)
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -I1 -o "$work/start" -e trace=close,chdir,rt_sigaction,clone,fork,vfork,setsid,exit_group corvane &
# Until both children started their sessions and the starter ended (and, on the native
# build, the kernel-daemon process ended too), five seconds at the most.
started() {
  [ "$(grep -c -E '^[0-9]+ +setsid\(' "$work/start")" = 2 ] && [ "$(grep -c -E '^[0-9]+ +exit_group\(' "$work/start")" -ge "$1" ]
}
for _ in $(seq 100); do started "$([ "$backend" = native ] && echo 2 || echo 1)" && break; sleep 0.05; done
kill $!; wait $!
starter=$(awk 'NR == 1 {print $1}' "$work/start")
# The starting process's calls from its first close of descriptor 0 on, a line each.
awk -v p="$starter" '$1 == p && $2 !~ /^</ {$1 = ""; sub(/^ /, ""); print}' "$work/start" |
  sed -n '/^close(0)/,$p' >"$work/starter"
order=$(sed 's/(.*//' "$work/starter" | uniq -c | awk '{printf "%s %s ", $1, $2}')
expect "start-up: closes, chdir, signals, two forks" test "$order" = "256 close 1 chdir 3 rt_sigaction 2 clone 1 exit_group "
expect "start-up: closes 0 to 255 in turn" test "$(sed -n 's/^close(\([0-9]*\)).*/\1/p' "$work/starter" | tr '\n' ' ')" = "$(seq 0 255 | tr '\n' ' ')"
expect "start-up: TERM, INT, CHLD ignored in turn" test "$(sed -n 's/^rt_sigaction(\(SIG[A-Z]*\), {sa_handler=\(SIG_[A-Z]*\).*/\1 \2/p' "$work/starter" | tr '\n' ' ')" = "SIGTERM SIG_IGN SIGINT SIG_IGN SIGCHLD SIG_IGN "
expect "start-up: ends with status 0" grep -q '^exit_group(0' "$work/starter"
expect "start-up: each child starts a session" test "$(grep -c -E '^[0-9]+ +setsid\(' "$work/start")" = 2
[ "$backend" = native ] && expect "kernel-daemon process ends with status 1" grep -q -E '^[0-9]+ +exit_group\(1( |\))' "$work/start"
stop_all

if [ "$backend" = native ]; then
  corvane -f 1 -s 1
  update=$(wait_titled "update (sync)")
  expect "refused flush: update (sync)" test -n "$update"
  calls=$(trace "$update" 3.5)
  expect "then sync alone, every second" test "$(syncs "$calls")" -ge 3
  expect "and never a flush request"   sleeps_and_syncs_only "$calls"
else
  corvane -6 1 -f 1
  update=$(wait_titled "update (corvane)")
  calls=$(trace "$update" 3.5 sync)
  expect "a flush request every second" test "$(syncs "$calls")" -ge 3
  expect "the kernel keeps flushing on request" test -n "$(titled "update (corvane)")"
  daemon=$(wait_titled "corvane (daemon)")
  (sleep 0.5; corvane -6 2 -d >/dev/null) &
  timeout 4.5 strace -qq -p "$daemon" -e trace=clock_nanosleep,sync -o "$work/daemon"
  expect "flush daemon: sleeps the shorter ageing time" grep -q 'tv_sec=1,' "$work/daemon"
  expect "flush daemon: reads it afresh each cycle"     grep -q 'tv_sec=2,' "$work/daemon"
  expect "flush daemon: then flushes" test "$(grep -c '^sync()' "$work/daemon")" -ge 2
  stop_all
fi

if [ "$sanitized" = no ]; then
  expect "needs libc alone" test "$(readelf -d "$program" | awk '/NEEDED/ {print $NF}')" = "[libc.so.6]"
  if [ "$backend" = emulated ]; then
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
