#!/usr/bin/env bash
# Fuzz FittedGam.deserialize for a bounded time from the seed corpus in fuzz/corpus.
#
#   fuzz/run.sh SECONDS
#
# By default the package is built with AddressSanitizer and UBSan into build/fuzz (a few
# minutes on two cores, not counted in SECONDS), so an out-of-bounds read in the reader stops
# the run. VOREL_FUZZ_PKG=<folder holding an importable vorel> skips that build and fuzzes the
# given package without sanitizers. Exits non-zero on any finding: a crash, a sanitizer report,
# an exception other than ValueError, a hang (-timeout) or memory past -rss_limit_mb.
set -euo pipefail
secs=${1:?usage: fuzz/run.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}

"$py" -c "import atheris" 2>/dev/null || "$py" -m pip install --quiet "atheris==3.0.0"

preload=""
if [[ -n "${VOREL_FUZZ_PKG:-}" ]]; then
  pkg=$VOREL_FUZZ_PKG
  rss=2048
else
  build="$root/build/fuzz"
  cmake -S "$root" -B "$build" -G Ninja -DVOREL_TESTING=ON -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    >/dev/null
  cmake --build "$build" -j2 >/dev/null
  pkg="$build/pkg"
  preload="$(g++ -print-file-name=libasan.so)"
  # CPython's own allocations are not ours to report, and ASan's shadow memory inflates RSS.
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  rss=4096
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root"/fuzz/corpus/* "$work/"   # libFuzzer adds new inputs here; the repository stays as it is
mkdir -p "$work/findings"

cd "$work"
status=0
env PYTHONPATH="$pkg" ${preload:+LD_PRELOAD="$preload"} \
  "$py" "$root/fuzz/fuzz_deserialize.py" "$work" \
  -max_total_time="$secs" -timeout=10 -rss_limit_mb="$rss" -max_len=65536 \
  -artifact_prefix="$work/findings/" -print_final_stats=1 || status=$?

if compgen -G "$work/findings/*" >/dev/null; then
  mkdir -p "$root/build/fuzz-findings"
  cp "$work"/findings/* "$root/build/fuzz-findings/"
  echo "fuzz: findings copied to $root/build/fuzz-findings" >&2
  status=${status/#0/1}
fi
exit "$status"
