#!/usr/bin/env bash
# Prints, one a line, those of the named Debian packages that are not
# installed for this machine's own architecture (or as architecture-
# independent packages). `dpkg -s NAME` cannot tell: on a machine that also
# has a foreign architecture's package of that name (libgtest-dev:arm64 for
# cross builds) it answers for either, or fails as ambiguous.
#
#   bash tests/missing-packages.sh cmake g++ libgtest-dev ...
set -euo pipefail
native=$(dpkg --print-architecture)
for p in "$@"; do
  if ! dpkg-query -W -f='${db:Status-Abbrev} ${Architecture}\n' "$p" 2>/dev/null |
      grep -Eq "^ii +($native|all)\$"; then
    echo "$p"
  fi
done
