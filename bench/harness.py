"""What the cases of bench/run.py share: measuring a call or a child
process, and printing a table."""

from __future__ import annotations

import ctypes
import gc
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from corpus import MB

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent

RECORDS = ("merges_record.json", "vocab_list.json")
Merge = tuple[tuple[int, int], int]
Row = tuple[str, ...]


def log(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr, flush=True)


def yes(ok: bool) -> str:
    return "yes" if ok else "NO"


# --------------------------------------------------------------------------
# Measuring


def status_kb(field: str) -> int:
    """A size of /proc/self/status (VmRSS, VmHWM), in kB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak() -> bool:
    """Lowers this process's peak resident size (VmHWM, which is also the
    ru_maxrss a child starts from) to its current size; False where the
    kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


try:
    _malloc_trim: Callable[[int], int] = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):
    def _malloc_trim(pad: int) -> int:
        return 0


@dataclass
class Timing:
    seconds: float          # median of the runs
    peak_mb: float | None   # greatest peak of a run over the size it started with
    result: Any             # the last run's
    same: bool              # every run's result equal to the first's


def measure(fn: Callable[[], Any], repeat: int, compare: bool = True) -> Timing:
    """repeat calls of fn, each timed with the collector off (as in timeit)
    and its peak resident size taken over the size it started with."""
    times: list[float] = []
    peaks: list[float] = []
    first = result = None
    same = True
    for i in range(repeat):
        result = None
        gc.collect()
        _malloc_trim(0)  # freed heap that the allocator kept would hide the call's growth
        reset = reset_peak()
        base = status_kb("VmRSS")
        gc.disable()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        gc.enable()
        if reset:
            peaks.append((status_kb("VmHWM") - base) * 1024 / MB)
        if i == 0:
            first = result
        elif compare:
            same = same and result == first
    return Timing(statistics.median(times), max(peaks) if peaks else None, result, same)


def per_call(fn: Callable[[], Any], repeat: int) -> float:
    """Median seconds per call, timeit's autorange choosing the loop size."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def least(fn: Callable[[], Any], repeat: int) -> float:
    """The least wall seconds of repeat calls of fn."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def child(cmd: list[str], env: dict[str, str]) -> tuple[float, float, str]:
    """Wall seconds, peak resident MB and standard output of one child
    process. The peak is its ru_maxrss: its own or a reaped descendant's,
    whichever is greater. A child's ru_maxrss starts at the peak of the
    process that started it, so ours is lowered first."""
    gc.collect()
    _malloc_trim(0)
    reset_peak()
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            text=True)
    out = proc.stdout.read() if proc.stdout else ""
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped: Popen must not wait again
    if proc.returncode:
        raise SystemExit(f"bench: {' '.join(cmd[:4])} ... failed with status {proc.returncode}")
    return wall, usage.ru_maxrss * 1024 / MB, out


def table(rows: list[Row]) -> None:
    """rows[0] is the header; the first column left-aligned, the rest right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        print("| " + " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                for i, (c, w) in enumerate(zip(row, widths))) + " |")
        if n == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print()


def merges_of(record: bytes) -> list[Merge]:
    return [((e["pair"][0], e["pair"][1]), e["id"]) for e in json.loads(record)]
