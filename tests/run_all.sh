#!/bin/bash
# The whole test suite: this host's build, the 32-bit x86 build with the native call, the
# 32-bit ARM and big-endian s390x cross builds under qemu, and the sanitizer build and the
# fuzz targets, each configured, built and tested in its own folder under build/. A check
# that cannot run on this machine is skipped, never passed; after each build the skipped
# checks are listed with their reasons.
set -eu
cd "$(dirname "$0")/.."
for preset in default i386 armhf s390x asan fuzz; do
  echo "== $preset"
  cmake --workflow --preset "$preset"
  # A skipped script says "skipped: REASON"; a skipped unit test prints its reason on the
  # line after "...: Skipped".
  awk '/^[0-9]+\/[0-9]+ Test: / {name = $3}
       /^skipped: / {print "skipped: " name ": " substr($0, 10)}
       previous ~ /: Skipped$/ {print "skipped: " name ": " $0}
       {previous = $0}' "build/$preset/Testing/Temporary/LastTest.log"
done
