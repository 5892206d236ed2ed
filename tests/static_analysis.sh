#!/bin/bash
# The gates on the program's code: clang-format must have nothing to change in any C++
# file, clang-tidy (checks in .clang-tidy) and cppcheck must find nothing in the program
# itself, and kernel/ must include nothing from the floors above it.
#   usage: static_analysis.sh BUILD_DIR SOURCE_DIR   (BUILD_DIR holds compile_commands.json)
set -u
build=$1
cd "$2" || exit 1
status=0
mapfile -t all < <(git ls-files '*.cc' '*.h' 2>/dev/null || find kernel emulated cli daemon tests -name '*.cc' -o -name '*.h')
mapfile -t program < <(printf '%s\n' "${all[@]}" | grep -E '^(kernel|emulated|cli|daemon|common)/.*\.cc$')

clang-format --dry-run --Werror "${all[@]}" || { echo "FAIL: clang-format would change the files above"; status=1; }
clang-tidy --quiet -p "$build" "${program[@]}" 2> >(grep -v 'warnings generated' >&2) || { echo "FAIL: clang-tidy"; status=1; }
cppcheck --enable=warning,performance,portability --error-exitcode=1 --std=c++20 --inline-suppr -q -I . \
  kernel emulated cli daemon common || { echo "FAIL: cppcheck"; status=1; }
# The kernel's floor is the lowest: it reaches nothing above it.
if grep -n -E '#include "(emulated|daemon|cli)/' kernel/*; then
  echo "FAIL: kernel/ includes from a floor above it"; status=1
fi
[ "$status" = 0 ] && echo "clang-format, clang-tidy and cppcheck: nothing found"
exit "$status"
