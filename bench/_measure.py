"""Shared helpers for the benchmarks: peak-memory measurement around one call, run in a fresh
subprocess per case so that earlier cases do not raise the high-water mark."""

import json
import os
import subprocess
import sys
import time

# Compare like with like: the core runs BLAS on one thread, so the reference products do too.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")


def _status_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Resets the process's peak resident set size (Linux: writing 5 to clear_refs)."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def measure(fn):
    """Runs fn() once; returns (seconds, extra peak RSS in MiB above the RSS before the call)."""
    base = _status_kb("VmRSS")
    ok = reset_peak()
    t0 = time.perf_counter()
    out = fn()
    dt = time.perf_counter() - t0
    peak = _status_kb("VmHWM") if ok else _status_kb("VmRSS")
    return out, dt, max(0, peak - base) / 1024.0


def best_time(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def run_cases(script, cases):
    """Runs `script --case <json>` in a subprocess for each case; yields the parsed results."""
    for case in cases:
        out = subprocess.run([sys.executable, script, "--case", json.dumps(case)],
                             capture_output=True, text=True)
        if out.returncode != 0:
            yield {**case, "error": out.stderr.strip().splitlines()[-1:]}
            continue
        yield json.loads(out.stdout.strip().splitlines()[-1])


def gram_time(X, w):
    """Best-of-3 time of one X^T W X on one thread: (sqrt(w) X)^T (sqrt(w) X) with NumPy's BLAS,
    the same kernel shape the core uses. (The test extension's kernel would time the conversion
    of X into its own storage as well, so it is not used here.)"""
    import numpy as np

    Xf = np.asfortranarray(X)
    sw = np.sqrt(w)
    return best_time(lambda: (lambda Z: Z.T @ Z)(Xf * sw[:, None]))
