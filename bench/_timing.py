"""Shared timing helpers for the benchmark scripts: medians of repeated runs."""

import statistics
import time


def median_seconds(fn, *, repeat=7, number=1):
    """Median wall time of one call of fn (fn is called `number` times per run)."""
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        runs.append((time.perf_counter() - t0) / number)
    return statistics.median(runs)


def auto_number(fn, target=0.05):
    """A loop count that makes one run last about `target` seconds."""
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - t0 >= target:
            return n
        n *= 2


def compare(label, native, python, *, repeat=7):
    """Times both in alternating rounds, so that load on the machine hits
    both alike; prints the median times and the median of the per-round
    ratios."""
    n = auto_number(python)
    natives, pythons, ratios = [], [], []
    for _ in range(repeat):
        natives.append(median_seconds(native, repeat=1, number=max(1, n * 4)))
        pythons.append(median_seconds(python, repeat=1, number=n))
        ratios.append(pythons[-1] / natives[-1])
    t_native, t_python, ratio = (statistics.median(v) for v in (natives, pythons, ratios))
    print(f"{label:<58} {fmt(t_native):>10} {fmt(t_python):>10} {ratio:>8.1f}x")
    return t_native, t_python, ratio


def header(title):
    print(f"\n{title}")
    print(f"{'operation':<58} {'native':>10} {'python':>10} {'ratio':>9}")


def fmt(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"
