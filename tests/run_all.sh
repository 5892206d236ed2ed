#!/bin/bash
# The whole test suite: this host's build, the 32-bit x86 build with the native call, and
# the sanitizer build and the fuzz target, each configured, built and tested in its own
# folder under build/.
set -eu
cd "$(dirname "$0")/.."
for preset in default i386 asan fuzz; do
  echo "== $preset"
  cmake --workflow --preset "$preset"
done
