#!/usr/bin/env bash
# tests/missing-packages.sh against a fake dpkg: a package installed only
# for a foreign architecture, or only half installed, counts as missing.
set -euo pipefail
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
cat >"$fake/dpkg" <<'FAKE'
#!/bin/sh
echo amd64
FAKE
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
# The package is the last argument.
for p; do :; done
case "$p" in
  both) printf 'ii  amd64\nii  arm64\n' ;;
  foreign) printf 'ii  arm64\n' ;;
  indep) printf 'ii  all\n' ;;
  removed) printf 'rc  amd64\n' ;;
  *) echo "dpkg-query: no packages found matching $p" >&2; exit 1 ;;
esac
FAKE
chmod +x "$fake/dpkg" "$fake/dpkg-query"
got=$(PATH="$fake:$PATH" bash "$(dirname "$0")/missing-packages.sh" both foreign indep removed absent | tr '\n' ' ')
if [ "$got" != "foreign removed absent " ]; then
  echo "missing-packages.sh listed: '$got', expected: 'foreign removed absent '" >&2
  exit 1
fi
