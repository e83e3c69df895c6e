#!/usr/bin/env bash
# Compiles every header installed below PREFIX on its own, as a program
# built against the package meets it: only the installed include folder
# and the system's. The build's own header check (target header_check)
# sees the source tree, where headers the install leaves out are still
# found; this one sees what a program gets.
#   scripts/check-installed-headers.sh PREFIX
set -euo pipefail
prefix=${1:?usage: $0 PREFIX}
[ -d "$prefix/include/apm_measurement" ] ||
  { echo "no installed headers in $prefix/include/apm_measurement" >&2; exit 1; }
# Absolute: the compiler runs from that folder, whatever PREFIX was relative to.
include=$(cd "$prefix/include/apm_measurement" && pwd)
cd "$include"
mapfile -t headers < <(find . -name '*.h' -printf '%P\n' | sort)
[ "${#headers[@]}" -gt 0 ] || { echo "no installed headers in $include" >&2; exit 1; }
leaked=$(printf '%s\n' "${headers[@]}" | grep '_internal\.h$' || true)
[ -z "$leaked" ] || { echo "headers for the libraries' own sources were installed:" $leaked >&2; exit 1; }
# One unit per header, included twice: it compiles alone, warning-free,
# and its guard holds. A header that fails prints its diagnostics and a
# line naming it.
check() {
  local out
  if ! out=$(printf '#include "%s"\n#include "%s"\n' "$1" "$1" |
               g++ -std=c++20 -fsyntax-only -Wall -Wextra -I "$2" -x c++ - 2>&1) || [ -n "$out" ]; then
    printf '%s\nFAILED: %s does not compile alone\n' "$out" "$1"
  fi
}
export -f check
report=$(printf '%s\0' "${headers[@]}" | xargs -0 -n 1 -P "$(nproc)" bash -c 'check "$1" "$0"' "$include")
if [ -n "$report" ]; then
  printf '%s\n' "$report" >&2
  echo "$(grep -c '^FAILED: ' <<<"$report") of ${#headers[@]} installed headers do not compile alone" >&2
  exit 1
fi
echo "${#headers[@]} installed headers compile alone"
