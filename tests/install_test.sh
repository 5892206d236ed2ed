#!/bin/bash
# The tool as a system administrator meets it: the manual page, the bash completion, the
# installed files, the Debian package and the boot unit. Runs as root inside a private
# mount and PID namespace with a tmpfs over /run, and installs the package only under
# overlays of /usr, /var and /etc that vanish with the namespace.
#   usage: install_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1 source=$2

source "$(dirname "$0")/namespace.sh"
page=$source/doc/corvane.8

silent() { [ -z "$("$@" 2>&1)" ]; }

# The manual page renders clean and names every option of the usage text.
expect "groff renders the page clean"       silent groff -man -ww -z "$page"
expect "groff with tables renders it clean" silent groff -t -man -ww -z "$page"
expect "mandoc finds nothing to say"        silent mandoc -Tlint "$page"
options=$("$build/corvane" -h 2>&1 | sed -n 's/^  -\(.\)  .*/\1/p')
expect "usage text lists 13 options" test "$(echo $options)" = "0 1 2 3 4 5 6 7 8 d f h s"
for option in $options; do
  expect "page describes -$option" grep -q -E "^\.BI? \\\\-$option( |$)" "$page"
done
expect "page fits 80 columns" test "$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -L)" -le 80
expect "page has its sections, in the order of man-pages(7)" test "$(sed -n 's/^\.SH //p' "$page" | tr -d '"' | paste -s -d ,)" = \
  "NAME,SYNOPSIS,DESCRIPTION,OPTIONS,EXIT STATUS,ENVIRONMENT,FILES,NOTES,EXAMPLES,AUTHORS,REPORTING BUGS,COPYRIGHT,SEE ALSO"
# The synopsis is the usage line's, but says that each digit option takes a value, and
# names -h.
expect "page's synopsis" test "$(MANWIDTH=200 man -l "$page" 2>/dev/null | sed -n '/^SYNOPSIS/{n;N;p;}' | sed 's/^ *//' | paste -s -d '|')" = \
  "corvane [-N value]... [-d] [-s sync-delay] [-f flush-delay]|corvane -h"

# The completion, called as bash calls it, with bash-completion loaded: the words so far,
# the one being completed last. The program is never run to complete: a stand-in under
# its name says so if it is.
mkdir "$work/completion" "$work/standin" && touch "$work/completion/alpha" "$work/completion/beta"
printf '#!/bin/sh\ntouch %s/ran\n' "$work" >"$work/standin/corvane"
chmod 0755 "$work/standin/corvane"
complete_line() {
  (cd "$work/completion" && PATH="$work/standin:$PATH" bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _corvane
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -s -d " "' completion "$source/dist/corvane.bash" "$@")
}
all='-0 -1 -2 -3 -4 -5 -6 -7 -8 -d -f -h -s'
while IFS='|' read -r want words; do
  eval "set -- $words"
  expect "completion of '$words'" test "$(complete_line "$@")" = "$want"
done <<EOT
$all|corvane ''
$all|corvane -
-d|corvane -d
$all|corvane -3 40 -
|corvane -x
|corvane -f ''
|corvane -s ''
|corvane -3 ''
|corvane -d -0 ''
|corvane -d3 ''
|corvane -hf ''
$all|corvane -3d ''
$all|corvane -d3 40 ''
|corvane -3 4
|corvane -f 1
|corvane -s x
$all|corvane -3 40 ''
alpha beta|corvane -d '>' ''
alpha|corvane -d '>' a
EOT
expect "completion never runs the program" test ! -e "$work/ran"

# The same in a real interactive bash, keys typed in tmux: after a number's option a Tab
# inserts nothing, after a redirection it completes a file name.
tm() { tmux -L corvane-test "$@"; }
screen() { tm capture-pane -p -t completion | sed '/^$/d'; }
typed() {  # KEYS...: types them, then prints the screen's last line once it stops changing
  local before
  tm send-keys -t completion "$@"
  for _ in $(seq 20); do before=$(screen); sleep 0.1; [ "$(screen)" = "$before" ] && break; done
  screen | tail -1
}
if command -v tmux >/dev/null; then
  tm new-session -d -s completion -x 120 -y 20 -c "$work/completion" \
    "env -i HOME=$work TERM=xterm PATH=$work/standin:/usr/bin:/bin PS1='$ ' bash --norc --noprofile"
  tm send-keys -t completion "source /usr/share/bash-completion/bash_completion; source $source/dist/corvane.bash; clear" Enter
  sleep 0.5
  expect "tmux: no value after -3"        test "$(typed 'corvane -3 ' Tab Tab)" = '$ corvane -3'
  tm send-keys -t completion C-u
  expect "tmux: none after -d3 either"    test "$(typed 'corvane -d3 ' Tab Tab)" = '$ corvane -d3'
  tm send-keys -t completion C-u
  expect "tmux: a file after >"           test "$(typed 'corvane -d > al' Tab)" = '$ corvane -d > alpha'
  tm send-keys -t completion C-u
  typed 'corvane -' Tab Tab >/dev/null
  lists_options() { screen | grep -q -- '-0 .*-8 .*-s'; }
  expect "tmux: the options after -"      lists_options
  tm kill-server
  expect "tmux: the program never ran"    test ! -e "$work/ran"
else
  echo "skipped: the interactive completion cases (no tmux)"
fi

# cmake --install honours DESTDIR and the prefix, and leaves a manifest to uninstall by.
DESTDIR=$work/destdir cmake --install "$build" --prefix /opt/corvane >/dev/null
for file in sbin/corvane share/man/man8/corvane.8.gz lib/systemd/system/corvane.service \
  share/bash-completion/completions/corvane share/doc/corvane/LICENSE share/doc/corvane/DESIGN.md etc/default/corvane; do
  expect "installed: $file" test -f "$work/destdir/opt/corvane/$file"
done
unit=$work/destdir/opt/corvane/lib/systemd/system/corvane.service
expect "the unit starts the installed program with its options" grep -qx 'ExecStart=/opt/corvane/sbin/corvane $CORVANE_OPTS' "$unit"
expect "the unit reads the installed options file" grep -qx 'EnvironmentFile=-/opt/corvane/etc/default/corvane' "$unit"
expect "the unit reloads with the installed program" grep -qx 'ExecReload=/opt/corvane/sbin/corvane $CORVANE_OPTS -d' "$unit"
# README's uninstall removes all but the options file, which the administrator may have
# edited.
echo 'CORVANE_OPTS="-f 10"' >"$work/destdir/opt/corvane/etc/default/corvane"
grep -v '/etc/default/corvane$' "$build/install_manifest.txt" | sed "s|^|$work/destdir|" | xargs -d '\n' rm -f
expect "uninstalling keeps the options file alone" \
  test "$(find "$work/destdir" -type f)" = "$work/destdir/opt/corvane/etc/default/corvane"
sed "s|^|$work/destdir|" "$build/install_manifest.txt" | xargs rm -f
expect "the manifest names every file installed" test -z "$(find "$work/destdir" -type f)"

# The unit's hardening, as systemd scores it.
DESTDIR=$work/unit cmake --install "$build" --prefix /usr >/dev/null
exposure=$(systemd-analyze security --offline=true "$work/unit/usr/lib/systemd/system/corvane.service" 2>/dev/null |
  sed -n 's/.*Overall exposure level for corvane.service: \([0-9.]*\).*/\1/p')
expect "the unit's exposure is at most 1.5 (it is ${exposure:-unknown})" awk -v e="${exposure:-99}" 'BEGIN {exit !(e <= 1.5)}'

# The Debian package, built the Debian way from two copies of the tree, the first running
# the unit tests and the second not: the same bytes each time. Then the source package,
# and nothing for lintian to say of either that is not overridden with its reason.
for copy in 1 2; do
  mkdir -p "$work/package$copy/corvane"
  tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/package$copy/corvane" -xf -
  options="parallel=2$([ "$copy" = 2 ] && echo ' nocheck')"
  (cd "$work/package$copy/corvane" && DEB_BUILD_OPTIONS=$options dpkg-buildpackage -us -uc -b >"$work/package$copy/log" 2>&1) ||
    { echo "FAIL: dpkg-buildpackage"; tail -20 "$work/package$copy/log"; }
done
expect "the package build runs the unit tests" grep -q '^100% tests passed' "$work/package1/log"
expect "and not with nocheck" test -z "$(grep 'tests passed' "$work/package2/log")"
(cd "$work/package1/corvane" && dpkg-buildpackage -us -uc -S >"$work/package1/source.log" 2>&1) ||
  { echo "FAIL: dpkg-buildpackage -S"; tail -20 "$work/package1/source.log"; }
deb=$(ls "$work"/package1/corvane_*.deb)
for package in corvane corvane-dbgsym; do
  expect "$package builds bit for bit the same" cmp "$work"/package1/${package}_*.deb "$work"/package2/${package}_*.deb
done
for changes in "$work"/package1/*_amd64.changes "$work"/package1/*_source.changes; do
  lintian --pedantic -I "$changes" >"$work/lintian" 2>/dev/null
  expect "lintian --pedantic -I says nothing of $(basename "$changes")" test -z "$(grep -E '^[EWIPX]:' "$work/lintian")"
  grep -E '^[EWIPX]:' "$work/lintian"
done
expect "package depends on libc" sh -c "dpkg-deb -f '$deb' Depends | grep -q '^libc6 (>= '"
dpkg-deb -x "$deb" "$work/unpacked"
expect "the program is stripped" sh -c "file '$work/unpacked/usr/sbin/corvane' | grep -q ', stripped'"
expect "page is compressed in the package" sh -c "dpkg-deb -c '$deb' | grep -q ' ./usr/share/man/man8/corvane.8.gz$'"

# The unit under a real systemd: a container booted from an overlay of the whole root
# file system, so that its boot-time cleanup acts on the overlay alone, with the package
# installed in it. A check inside starts, restarts and stops the service, reads the
# unit's journal after a refused start, and powers off.
mkdir -p "$work/sysroot/upper" "$work/sysroot/work" "$work/sysroot/merged" "$work/results"
root=$work/sysroot/merged
if mount -t overlay overlay -o "lowerdir=/,upperdir=$work/sysroot/upper,workdir=$work/sysroot/work" "$root" &&
  cp "$deb" "$root/tmp/corvane.deb" && chroot "$root" dpkg -i /tmp/corvane.deb >"$work/dpkg.log" 2>&1; then
  cat >"$root/usr/local/sbin/corvane-check" <<'EOF'
#!/bin/bash
# What the service does under systemd, one "name value" line each, into /results/out.
say() { echo "$1 $2" >>/results/out; }
titles() { pgrep -a -x corvane | cut -d' ' -f2- | sort | paste -s -d,; }
say active-at-boot "$(systemctl is-active corvane)"
say titles-at-boot "$(titles)"
echo 'CORVANE_OPTS="-6 3 -f 2"' >/etc/default/corvane
before=$(pgrep -x corvane | paste -s -d,)
systemctl restart corvane && say restart ok
sleep 2
say new-processes "$([ "$(pgrep -x corvane | paste -s -d,)" != "$before" ] && echo yes)"
say titles-after-restart "$(titles)"
say options-applied "$(corvane -d | sed -n 's/^6: *//p' | cut -d' ' -f1)"
# A reload writes a changed options file and lists it into the journal, in the same processes.
before=$(pgrep -x corvane | paste -s -d,)
echo 'CORVANE_OPTS="-6 4 -f 2"' >/etc/default/corvane
systemctl reload corvane && say reload ok
say reloaded "$(corvane -d | sed -n 's/^6: *//p' | cut -d' ' -f1),$(journalctl -u corvane | grep -c -E ': 6: +4 Time for non-data'),$([ "$(pgrep -x corvane | paste -s -d,)" = "$before" ] && echo same)"
echo 'CORVANE_OPTS="-6 3 -f 2"' >/etc/default/corvane
say result "$(systemctl show -p Result --value corvane)"
systemctl stop corvane && say stop ok
sleep 1
say left-after-stop "$(pgrep -x corvane | wc -l)"
systemctl start corvane && say start ok
sleep 1
say titles-after-start "$(titles)"
# Both processes killed: systemd starts the service again within five seconds.
killed=$(pgrep -x corvane | paste -s -d,)
pkill -KILL -x corvane
for _ in $(seq 50); do
  [ "$(titles)" = "corvane (daemon)  -6 3 -f 2,update (corvane)  -6 3 -f 2" ] && [ "$(pgrep -x corvane | paste -s -d,)" != "$killed" ] && break
  sleep 0.1
done
say titles-after-kill "$(titles)"
say state-after-kill "$(systemctl show -p ActiveState --value corvane),$(systemctl show -p NRestarts --value corvane)"
systemctl stop corvane && sleep 2
say left-after-second-stop "$(pgrep -x corvane | wc -l)"
# A start whose write is refused fails, and says why in the unit's journal.
echo 'CORVANE_OPTS="-6 100000"' >/etc/default/corvane
systemctl start corvane && say refused-start ok
for _ in $(seq 50); do
  journalctl -u corvane | grep -q -F 'ostrevan: corvane(15,100000)=-1 22' && break
  sleep 0.1
done
say journal "$(journalctl -u corvane | grep -c -F 'ostrevan: corvane(15,100000)=-1 22')"
systemctl stop corvane
systemctl reset-failed corvane
# A drop-in with Environment= alone loses to the options file; README's drop-in wins.
echo 'CORVANE_OPTS="-6 4"' >/etc/default/corvane
mkdir -p /etc/systemd/system/corvane.service.d
printf '[Service]\nEnvironment="CORVANE_OPTS=-6 7"\n' >/etc/systemd/system/corvane.service.d/options.conf
systemctl daemon-reload && systemctl restart corvane
say plain-drop-in "$(corvane -d | sed -n 's/^6: *//p' | cut -d' ' -f1)"
bash /usr/local/sbin/corvane-drop-in && say drop-in-restart ok
say drop-in "$(corvane -d | sed -n 's/^6: *//p' | cut -d' ' -f1),$(pgrep -a -x corvane | grep -c -e '-6 30$')"
systemctl stop corvane
systemctl poweroff
EOF
  # README's drop-in, as it stands there.
  sed -n '/^    mkdir -p \/etc\/systemd\/system\/corvane.service.d$/,/^    systemctl daemon-reload/s/^    //p' "$source/README.md" \
    >"$root/usr/local/sbin/corvane-drop-in"
  chmod 0755 "$root/usr/local/sbin/corvane-check"
  printf '[Unit]\nAfter=multi-user.target\n[Service]\nType=oneshot\nExecStart=/usr/local/sbin/corvane-check\n' \
    >"$root/etc/systemd/system/corvane-check.service"
  ln -s ../corvane-check.service "$root/etc/systemd/system/multi-user.target.wants/corvane-check.service"
  timeout 120 systemd-nspawn --register=no --keep-unit --link-journal=no -q --boot -D "$root" \
    --bind="$work/results:/results" >"$work/nspawn.log" 2>&1
fi
if [ -s "$work/results/out" ]; then
  said() { grep -qx "$1 $2" "$work/results/out"; }
  both='corvane (daemon),update (corvane)'
  with_options='corvane (daemon)  -6 3 -f 2,update (corvane)  -6 3 -f 2'
  expect "systemd: installing enabled and started it" said active-at-boot active
  expect "systemd: both processes at boot"    said titles-at-boot "$both"
  expect "systemd: restart"                   said restart ok
  expect "systemd: restart makes new ones"    said new-processes yes
  expect "systemd: both run, confined"        said titles-after-restart "$with_options"
  expect "systemd: options from /etc/default" said options-applied 3
  expect "systemd: reload"                    said reload ok
  expect "systemd: a reload writes the options anew, listed, in the same processes" said reloaded 4,1,same
  expect "systemd: nothing failed"            said result success
  expect "systemd: stop"                      said stop ok
  expect "systemd: stop leaves nothing"       said left-after-stop 0
  expect "systemd: start"                     said start ok
  expect "systemd: both again after start"    said titles-after-start "$with_options"
  expect "systemd: both killed, both back"    said titles-after-kill "$with_options"
  expect "systemd: restarted once"            said state-after-kill active,1
  expect "systemd: a stop is for good"        said left-after-second-stop 0
  expect "systemd: a refused write fails the start" test -z "$(grep '^refused-start ' "$work/results/out")"
  expect "systemd: and the journal says why"  grep -q -E '^journal [1-9]' "$work/results/out"
  expect "systemd: README shows a drop-in"    test "$(wc -l <"$root/usr/local/sbin/corvane-drop-in")" = 3
  expect "systemd: a plain drop-in loses"     said plain-drop-in 4
  expect "systemd: README's drop-in wins"     said drop-in 30,2
  [ "$failed" = 0 ] || sed 's/^/  systemd said: /' "$work/results/out"
else
  echo "skipped: the unit under systemd: no container booted here: $(tail -1 "$work/nspawn.log" 2>/dev/null)"
fi
# The package's own test, as autopkgtest runs it: from the source tree, as root, with a
# scratch folder in AUTOPKGTEST_TMP, against the package installed in the overlay root.
if [ -x "$root/usr/sbin/corvane" ] && mount --rbind /dev "$root/dev"; then
  tar -C "$source" --exclude=./build --exclude=./.git -cf - . | (mkdir -p "$root/tmp/source" && tar -C "$root/tmp/source" -xf -)
  mkdir -p "$root/tmp/autopkgtest"
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin AUTOPKGTEST_TMP=/tmp/autopkgtest \
    sh -c 'cd /tmp/source && debian/tests/installed' >"$work/autopkgtest.out" 2>"$work/autopkgtest.err"
  expect "autopkgtest: the installed package passes" test $? = 0
  expect "autopkgtest: nothing on standard error" test ! -s "$work/autopkgtest.err"
  [ "$failed" = 0 ] || sed 's/^/  autopkgtest said: /' "$work/autopkgtest.out" "$work/autopkgtest.err"
  umount -R "$root/dev"
else
  echo "FAIL: autopkgtest: no overlay root with the package installed"
  failed=$((failed + 1))
fi
umount "$root" 2>/dev/null

# Installed, upgraded, removed and purged under overlays that vanish with the namespace.
# No systemd runs here: the maintainer scripts enable the unit and forget it again, and
# start, restart and stop nothing.
for dir in usr var etc; do
  mkdir -p "$work/overlay/$dir/upper" "$work/overlay/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/overlay/$dir/upper,workdir=$work/overlay/$dir/work" "/$dir" ||
    { echo "FAIL: overlay over /$dir"; exit 1; }
done
enabled=/etc/systemd/system/multi-user.target.wants/corvane.service
quietly() { "$@" >>"$work/dpkg.log" 2>&1 || { tail -5 "$work/dpkg.log"; return 1; }; }
expect "dpkg installs the package" quietly dpkg -i "$deb"
for file in /usr/sbin/corvane /usr/share/man/man8/corvane.8.gz "$(pkg-config --variable=systemdsystemunitdir systemd)/corvane.service" /etc/default/corvane \
  /usr/share/bash-completion/completions/corvane /usr/share/doc/corvane/copyright /usr/share/doc/corvane/changelog.gz \
  /usr/share/doc/corvane/DESIGN.md.gz; do
  expect "package installed $file" test -f "$file"
done
expect "installing enables the unit" test -L "$enabled"
expect "/etc/default/corvane is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' corvane | grep -q '^ /etc/default/corvane '"
expect "man finds the page" test "$(man -w corvane)" = /usr/share/man/man8/corvane.8.gz
expect "installed program lists" sh -c '/usr/sbin/corvane -d | head -1 | grep -qx "corvane version 1.4"'
expect "and writes its state" sh -c '/usr/sbin/corvane -3 40 -d >/dev/null && test -f /run/corvane/parameters'
expect "systemd-analyze verify says nothing" silent systemd-analyze verify corvane.service
expect "dpkg upgrades the package" quietly dpkg -i "$deb"
expect "dpkg removes the package" quietly dpkg -r corvane
expect "removing leaves the options file" test -f /etc/default/corvane -a ! -e /usr/sbin/corvane
expect "dpkg purges the package" quietly dpkg -P corvane
expect "purging forgets the unit" test ! -e "$enabled" -a ! -L "$enabled"
expect "purging takes the options file" test ! -e /etc/default/corvane
expect "purging takes the state folder" test ! -e /run/corvane

finish
