#!/bin/bash
# End-to-end checks of the background service: the start-up, the two processes it leaves
# and what they do. Runs as root inside a private mount and PID namespace with a tmpfs
# over /run, so nothing it starts outlives it. Under an emulator the processes' titles,
# sessions, descriptors, signals and system calls are the emulator's, so nothing here can
# be seen: the whole script is skipped, with the reason.
#   usage: end_to_end_service.sh PROGRAM BACKEND SANITIZED RUNNER [REASON]   (see end_to_end.sh)
set -u
if [ "$4" != native ]; then
  echo "skipped: $5"
  exit 77
fi
source "$(dirname "$0")/end_to_end.sh"

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
# Descriptors the caller holds open must not reach the background processes, whatever
# their number: below 256, above it, and up to the limit.
inherited="$work/inherited"
: >"$inherited"
highest=$(($(ulimit -n) - 1))
check "start"                      0 "" ""                                            bash -c "exec 3>$inherited 256>$inherited 300<$inherited $highest>$inherited; exec timeout 5 corvane"
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
  # Its lock and its watch on the folder, each closed on exec; nothing of the caller's.
  holds=$(for fd in $(ls "/proc/$daemon/fd"); do
    [ $((0$(awk '/^flags/ {print $2}' "/proc/$daemon/fdinfo/$fd") & 02000000)) != 0 ] &&
      readlink "/proc/$daemon/fd/$fd"
  done | sort | tr '\n' ' ')
  expect "kernel-daemon holds its own alone" test "$holds" = "/run/corvane/daemon.lock anon_inode:inotify "
  kill -TERM "$daemon"; kill -INT "$daemon"
fi
sleep 0.2
expect "SIGTERM and SIGINT end nothing" kill -0 "$update"
# A pipe or a lock that the caller holds above 255 is let go of at once.
check "start through a pipe"       0 "" ""                                            timeout 5 bash -c '( exec 400>&1; corvane ) | cat'
check "start holding a lock"       0 "" ""                                            bash -c '( flock -x 300 && corvane ) 300>/run/admin.lock'
expect "the caller's lock is free"  flock -n -x /run/admin.lock true
expect "a third update process"    eventually counted "update (corvane)" 3
# The second start's kernel-daemon process is refused and ends.
expect "one kernel-daemon at a time" eventually counted "corvane (daemon)" "$([ "$backend" = native ] && echo 0 || echo 1)"
stop_all

# The order of the start-up, and what each child does first.
# (LeakSanitizer cannot stop the world under strace, and would end the run with 1.)
: >"$work/start"
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -I1 -o "$work/start" -e trace=close,close_range,chdir,rt_sigaction,clone,fork,vfork,setsid,exit_group corvane &
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
expect "start-up: closes, chdir, signals, two forks" test "$order" = "256 close 1 close_range 1 chdir 3 rt_sigaction 2 clone 1 exit_group "
expect "start-up: then closes all above 255" grep -q '^close_range(256, 4294967295, 0) *= 0' "$work/starter"
expect "start-up: closes 0 to 255 in turn" test "$(sed -n 's/^close(\([0-9]*\)).*/\1/p' "$work/starter" | tr '\n' ' ')" = "$(seq 0 255 | tr '\n' ' ')"
expect "start-up: TERM, INT, CHLD ignored in turn" test "$(sed -n 's/^rt_sigaction(\(SIG[A-Z]*\), {sa_handler=\(SIG_[A-Z]*\).*/\1 \2/p' "$work/starter" | tr '\n' ' ')" = "SIGTERM SIG_IGN SIGINT SIG_IGN SIGCHLD SIG_IGN "
expect "start-up: ends with status 0" grep -q '^exit_group(0' "$work/starter"
expect "start-up: each child starts a session" test "$(grep -c -E '^[0-9]+ +setsid\(' "$work/start")" = 2
[ "$backend" = native ] && expect "kernel-daemon process ends with status 1" grep -q -E '^[0-9]+ +exit_group\(1( |\))' "$work/start"
stop_all

# Where close_range is missing (kernels before 5.9), what is open above 255 is closed,
# and not every number up to the limit, one call at a time.
ASAN_OPTIONS=detect_leaks=0 bash -c "exec 256>$inherited 300>$inherited $highest>$inherited; exec strace -qq -o $work/start -e trace=close,close_range -e inject=close_range:error=ENOSYS corvane"
update=$(wait_titled "update (corvane)")
expect "without close_range: nothing reaches the processes" test -z "$(ls "/proc/$update/fd")"
expect "without close_range: a close for each open descriptor" test "$(grep -c -E '^close\((25[6-9]|2[6-9][0-9]|[3-9][0-9]{2}|[0-9]{4,})\)' "$work/start")" -le 4
stop_all

# With neither close_range nor /proc (older kernels, an early boot), what is open above
# 255 is closed all the same, whatever the soft limit lowered since it was opened. A
# start over a folder mounted over leaves one flush daemon, which takes the new folder.
if [ "$sanitized" = yes ]; then
  echo "skipped: the start without /proc: AddressSanitizer cannot start without /proc/self/maps"
else
  corvane -6 1 -d >/dev/null
  mount -t tmpfs tmpfs /proc
  bash -c "exec 256>$inherited 300>$inherited 5000>$inherited; ulimit -Sn 100; exec strace -qq -o /dev/null -e inject=close_range:error=ENOSYS corvane"
  umount /proc
  update=$(wait_titled "update (corvane)")
  expect "without close_range and /proc: nothing below or above the soft limit reaches the processes" \
    test -z "$(ls "/proc/$update/fd")" -a -z "$(ls -l "/proc/$(wait_titled "corvane (daemon)")/fd" | grep -F "$inherited")"
  if [ "$backend" = emulated ]; then
    mount -t tmpfs -o mode=0755 tmpfs /run/corvane
    corvane
    sleep 2
    expect "a start over a mounted-over folder leaves one flush daemon" counted "corvane (daemon)" 1
  fi
  stop_all
  ! mountpoint -q /run/corvane || umount /run/corvane
fi

if [ "$backend" = native ]; then
  corvane -f 1 -s 1
  update=$(wait_titled "update (sync)")
  expect "refused flush: update (sync)" test -n "$update"
  calls=$(trace "$update" 3.5)
  expect "then sync alone, every second" test "$(syncs "$calls")" -ge 3
  expect "and never a flush request"   sleeps_and_syncs_only "$calls"
else
  corvane -5 86400 -6 86400 -f 1 -d >/dev/null
  corvane -f 1
  update=$(wait_titled "update (corvane)")
  # A request takes the record's lock, and flushes only what has aged: nothing, with a
  # day's period and a flush daemon that serves.
  calls=$(trace "$update" 3.5 sync,flock)
  expect "a flush request every second" test "$(printf '%s\n' "$calls" | grep -c '^flock$')" -ge 3
  expect "a request flushes nothing younger than the period" test "$(syncs "$calls")" = 0
  expect "the kernel keeps answering requests" test -n "$(titled "update (corvane)")"
  daemon=$(wait_titled "corvane (daemon)")
  # Flushing once a day, until a write lowers the ageing time: it takes effect at once,
  # not after the day's wait.
  (sleep 0.5; corvane -6 1 -d >/dev/null) &
  calls=$(trace "$daemon" 2.5)
  expect "flush daemon: a lowered ageing time counts at once" test "$(syncs "$calls")" -ge 2
  # Nothing changes: each cycle is the wait, a look at the lock's, the parameters file's
  # and the record's names, and the flush, under the record's lock and into its time; no
  # read, and no open but the record's.
  calls=$(trace "$daemon" 3.5)
  expect "flush daemon: waits the shorter ageing time, then flushes" test "$(syncs "$calls")" -ge 3
  expect "flush daemon: an idle cycle waits, looks and flushes only" \
    test -z "$(printf '%s\n' "$calls" | grep -v -E '^(ppoll|newfstatat|fstatat64|umask|openat|flock|sync|utimensat|utimensat_time64|close|restart_syscall)$')"
  expect "flush daemon: one open a flush" \
    test "$(printf '%s\n' "$calls" | grep -c '^openat$')" -le "$(syncs "$calls")"
  expect "flush daemon: at most seven status calls a flush" \
    test "$(printf '%s\n' "$calls" | grep -c -E '^(newfstatat|fstatat64)$')" -le $((7 * $(syncs "$calls")))
  stop_all

  # The commands that README and the manual give for seeing what the service does, and
  # for stopping it, each as it stands in the one that tells it, run against a service
  # whose flush daemon has a 2-second period. The journal's needs systemd: the install
  # test runs it in its container.
  tree=$(cd "$(dirname "$0")/.." && pwd)
  shown() {
    sed -n 's/^    //p' "$tree/README.md" | grep -q -x -F -- "$1" ||
      MANWIDTH=200 LC_ALL=C man -l "$tree/doc/corvane.8" 2>/dev/null | sed -n 's/^ *# //p' | grep -q -x -F -- "$1"
  }
  processes='ps -C corvane -o pid,lstart,args'
  holder='lslocks -o PID,PATH | grep /run/corvane/daemon.lock'
  period="corvane -d | awk '/^[56]:/ {print \$2}' | sort -n | head -1"
  stop="pkill -KILL -u root -f '^(corvane \\(daemon\\)|update \\()'"
  flushes='strace -tt -e trace=sync -p "$(pgrep -d, -x corvane)"'
  corvane -6 2 -f 3
  daemon=$(wait_titled "corvane (daemon)")
  update=$(wait_titled "update (corvane)")
  bash -c "$processes" >"$work/processes"
  bash -c "$holder" >"$work/holder"
  bash -c "$period" >"$work/period"
  timeout 7 bash -c "$flushes" >/dev/null 2>"$work/flushes"
  # Where the file is not valid, the period line prints nothing.
  cp /run/corvane/parameters "$work/parameters"
  echo garbage >/run/corvane/parameters
  bash -c "$period" 2>/dev/null >>"$work/period"
  cp "$work/parameters" /run/corvane/parameters
  # The stop line ends the service's two processes and nothing else: not another user's
  # process under the same title, nor root's own run of the program.
  setpriv --reuid=65534 --regid=65534 --clear-groups bash -c 'exec -a "update (sync)" sleep 30' &
  others=$!
  bash -c 'exec -a corvane sleep 30' &
  others="$others $!"
  sleep 0.2
  bash -c "$stop"
  sleep 0.2
  left=$(ps -o args= -p "$(echo $others | tr ' ' ,)" | paste -s -d ,)
  kill $others
  # The daemon's flushes, in seconds of the day, and the gaps between them.
  gaps=$(sed -n "s/^\[pid *$daemon\] \([0-9]*\):\([0-9]*\):\([0-9.]*\) sync().*/\1 \2 \3/p" "$work/flushes" |
    awk '{t = $1 * 3600 + $2 * 60 + $3} NR > 1 {printf "%.1f ", t - last} {last = t}')
  seen() {
    for command in "$processes" "$holder" "$period" "$flushes" "$stop" "journalctl -u corvane"; do
      shown "$command" || { echo "not shown as it is run: $command"; return 1; }
    done
    [ "$(awk 'NR > 1 {print $1, $NF}' "$work/processes" | sort -n | paste -s -d ,)" = "$(printf '%s (daemon)\n%s (corvane)\n' "$daemon" "$update" | sort -n | paste -s -d ,)" ] &&
      [ "$(sed -n 1p "$work/processes" | tr -s ' ')" = " PID STARTED COMMAND" ] &&
      [ "$(tr -s ' ' <"$work/holder" | sed 's/^ //')" = "$daemon /run/corvane/daemon.lock" ] &&
      [ "$(cat "$work/period")" = 2 ] &&
      [ "$left" = "update (sync) 30,corvane 30" ] && ! pgrep -u root -f '^(corvane \(daemon\)|update \()' >/dev/null &&
      grep -q -x "strace: Process $update attached" "$work/flushes" &&
      ! grep -q -E "^\[pid *$update\] [0-9:.]+ sync\(" "$work/flushes" &&
      [ -n "$gaps" ] && [ -z "$(printf '%s\n' $gaps | awk '$1 < 1.8 || $1 > 2.5')" ]
  }
  expect "what the documents show of the service, as they show it" seen
  [ "$failed" = 0 ] || cat "$work/processes" "$work/holder" "$work/period" "$work/flushes"
  stop_all

  # Every option set that README and the manual give for a period, applied whole, leaves
  # the flush daemon's period (the period line's answer) at the period the set means: the
  # shorter of its -5 and -6, 30 and 5 where it has none. A set that gives -6 means its
  # -6: the documents never give one that parameter 5 cuts short.
  sets=$({ cat "$tree/README.md"; MANWIDTH=200 LC_ALL=C man -l "$tree/doc/corvane.8" 2>/dev/null; } | tr -s ' ' |
    grep -o -E -- '-[0-9fs] [0-9]+( -[0-9fs] [0-9]+)*' | grep -E -- '-[56f] ' | sort -u)
  unmeant=$(while read -r set; do
    rm -f /run/corvane/parameters
    corvane $set -d >/dev/null
    meant=$(printf '%s\n' $set | awk 'BEGIN {data = 30; meta = 5} last == "-5" {data = $1} last == "-6" {meta = $1; named = $1} {last = $1}
      END {shorter = data + 0 < meta + 0 ? data : meta; print (named == "" || named + 0 == shorter + 0) ? shorter + 0 : "none"}')
    [ "$(bash -c "$period")" = "$meant" ] || echo "$set"
  done <<<"$sets" | paste -s -d ';')
  expect "the documents' option sets leave the period they mean (not: ${unmeant:-none})" test -n "$sets" -a -z "$unmeant"
  rm -f /run/corvane/parameters

  # A mount over the folder, which no watch on the folder reports: the flush daemon
  # notices it, and one daemon serves beside the second start's.
  corvane
  wait_titled "corvane (daemon)" >/dev/null
  mount -t tmpfs -o mode=0755 tmpfs /run/corvane
  corvane
  sleep 1
  expect "a mount over the folder: one flush daemon" eventually counted "corvane (daemon)" 1
  stop_all
  umount /run/corvane

  # The boot unit's confinement, applied by hand short of systemd: root without any
  # capability or new privilege, in a user namespace that maps root alone, with every
  # file system read-only but the state folder. Everything the processes do still works.
  # A chroot, as an autopkgtest runner may use, makes no user namespace.
  if ! unshare --user --map-root-user true 2>/dev/null; then
    echo "skipped: the confined checks: no user namespace can be made here"
  else
    confined() {
      unshare --mount bash -c '
        for mount in $(awk "{print \$2}" /proc/self/mounts | sort -u); do
          case $mount in /proc* | /sys* | /dev*) ;; *) mount -o remount,bind,ro "$mount" 2>/dev/null ;; esac
        done
        mount --bind /run/corvane /run/corvane && mount -o remount,bind,rw /run/corvane || exit 1
        exec unshare --user --map-root-user setpriv --bounding-set=-all --inh-caps=-all --no-new-privs "$@"' confined "$@"
    }
    held() {
      grep -q '^CapBnd:[[:space:]]*0*$' /proc/self/status && grep -q '^NoNewPrivs:[[:space:]]*1$' /proc/self/status &&
        ! touch /usr/corvane-probe 2>/dev/null && ! touch /run/corvane-probe 2>/dev/null
    }
    export -f held
    expect "confined: no capability, no new privilege, read-only" confined bash -c held
    check "confined: write and list"   0 "$(corvane -d | sed '5s/^3: *[0-9]*/3:    40/')" "" confined corvane -3 40 -d
    check "confined: start"            0 "" ""                                          confined corvane -6 1 -f 1
    daemon=$(wait_titled "corvane (daemon)")
    update=$(wait_titled "update (corvane)")
    expect "confined: both processes run" test -n "$daemon" -a -n "$update"
    expect "confined: the flush daemon flushes" test "$(syncs "$(trace "$daemon" 2.5 sync)")" -ge 2
    (sleep 0.3; confined corvane -6 2 -d >/dev/null) &
    expect "confined: the flush daemon follows a write" sh -c "timeout 3 strace -qq -p $daemon -e trace=openat 2>&1 | grep -q parameters"
    # Once the flush daemon is gone, the update process flushes in its place, a period and
    # a second after the last flush.
    kill -KILL "$daemon"
    expect "confined: without the flush daemon, the update process flushes" test "$(syncs "$(trace "$update" 4.5 sync)")" -ge 1
    stop_all
  fi
fi

finish
