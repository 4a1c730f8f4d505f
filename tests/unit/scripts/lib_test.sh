#!/usr/bin/env bash
# scripts/lib.sh under the strict mode the demo runs in: the package check
# must report what is missing, not die quietly on dpkg-query's exit status.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
source "$root/scripts/lib.sh"

failures=0
native=$(dpkg --print-architecture)
# A foreign architecture no package here is ever installed for.
foreign=$([ "$native" = s390x ] && echo mips64el || echo s390x)

# package  expected (missing|installed)
cases=(
  "zov-never-installed-package missing"
  "bash installed"
  "bash:$native installed"
  "bash:$foreign missing"
)
for row in "${cases[@]}"; do
  read -r pkg expected <<<"$row"
  # Read as zov_install_packages reads it: a process substitution keeps
  # set -e, where a command substitution would not.
  mapfile -t got < <(zov_missing_packages "$pkg")
  verdict=$([ ${#got[@]} -gt 0 ] && echo missing || echo installed)
  if [ "$verdict" != "$expected" ]; then
    echo "FAIL: $pkg: expected $expected, got $verdict"
    failures=$((failures + 1))
  fi
done
all=()
for row in "${cases[@]}"; do all+=("${row%% *}"); done
want=$(for row in "${cases[@]}"; do [ "${row##* }" = missing ] && echo "${row%% *}"; done)
# All at once: one unknown name must not hide the verdict on the others.
mapfile -t got < <(zov_missing_packages "${all[@]}")
if [ "$(printf '%s\n' "${got[@]}")" != "$want" ]; then
  echo "FAIL: all at once: expected [$want], got [${got[*]}]"
  failures=$((failures + 1))
fi

echo "${#cases[@]} cases and one combined check: $((${#cases[@]} + 1 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
