#!/usr/bin/env bash
# The whole test suite against the installed package (run from anywhere).
set -euo pipefail
cd "$(dirname "$0")/.."
# Run from a scratch folder so that `import vorel` finds the installed package, not src/.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
python3 -m pytest -q -p no:cacheprovider "$OLDPWD/tests" "$@"
