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
synopsis=$("$build/corvane" -h 2>&1 | head -1 | sed 's/^usage: [^ ]* //')
expect "page's synopsis is the usage line" test "$(MANWIDTH=200 man -l "$page" 2>/dev/null | sed -n '/^SYNOPSIS/{n;p;}' | sed 's/^ *corvane //')" = "$synopsis"

# The completion, called as bash calls it: the words so far, the one being completed last.
complete_line() {
  PATH="$build:$PATH" bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _corvane
    echo "${COMPREPLY[*]}"' completion "$source/dist/corvane.bash" "$@"
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
5|corvane -f ''
30|corvane -s ''
256|corvane -3 ''
25|corvane -d -0 ''
|corvane -3 4
|corvane -f 1
|corvane -s x
$all|corvane -3 40 ''
EOT

# cmake --install honours DESTDIR and the prefix.
DESTDIR=$work/destdir cmake --install "$build" --prefix /opt/corvane >/dev/null
for file in sbin/corvane share/man/man8/corvane.8.gz lib/systemd/system/corvane.service \
  share/bash-completion/completions/corvane share/doc/corvane/copyright; do
  expect "installed: $file" test -f "$work/destdir/opt/corvane/$file"
done
expect "the unit starts the installed program" \
  grep -qx 'ExecStart=/opt/corvane/sbin/corvane' "$work/destdir/opt/corvane/lib/systemd/system/corvane.service"

# The Debian package: lintian finds no error, and dpkg installs what it should.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null 2>&1) || echo "FAIL: cpack"
deb=$(ls "$work"/package/corvane_*.deb)
lintian "$deb" >"$work/lintian" 2>&1
expect "lintian finds no error" test $? = 0 -a -z "$(grep '^E:' "$work/lintian")"
grep -E '^[WE]:' "$work/lintian"
expect "package depends on libc" dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= '
expect "page is compressed in the package" dpkg-deb -c "$deb" | grep -q ' ./usr/share/man/man8/corvane.8.gz$'

for dir in usr var etc; do
  mkdir -p "$work/overlay/$dir/upper" "$work/overlay/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/overlay/$dir/upper,workdir=$work/overlay/$dir/work" "/$dir" ||
    { echo "FAIL: overlay over /$dir"; exit 1; }
done
expect "dpkg installs the package" dpkg -i "$deb" >/dev/null
for file in /usr/sbin/corvane /usr/share/man/man8/corvane.8.gz /usr/lib/systemd/system/corvane.service \
  /usr/share/bash-completion/completions/corvane /usr/share/doc/corvane/copyright /usr/share/doc/corvane/changelog.gz; do
  expect "package installed $file" test -f "$file"
done
expect "man finds the page" test "$(man -w corvane)" = /usr/share/man/man8/corvane.8.gz
expect "installed program lists" sh -c '/usr/sbin/corvane -d | head -1 | grep -qx "corvane version 1.4"'
if command -v systemd-analyze >/dev/null; then
  expect "systemd-analyze verify says nothing" silent systemd-analyze verify corvane.service
fi
expect "dpkg removes the package" dpkg -r corvane >/dev/null
expect "nothing left but the folders" test ! -e /usr/sbin/corvane -a ! -e /usr/lib/systemd/system/corvane.service

finish
