"""What the benchmark scripts share: building, the environment line, the
corpus as chunks, chunk files for the C++ helpers, and timing."""

from __future__ import annotations

import array
import os
import pathlib
import platform
import struct
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from typing import Any

import corpus

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
MB = corpus.MB


def log(*args: Any) -> None:
    print(*args, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Environment


def git_commit() -> str:
    try:
        out = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short=12", "HEAD"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        dirty = subprocess.run(
            ["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        return out + ("+dirty" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        pass
    # No git (e.g. inside the build root): read the ref by hand.
    git = ROOT / ".git"
    try:
        head = (git / "HEAD").read_text().strip()
        if not head.startswith("ref: "):
            return head[:12]
        ref = head[5:]
        if (git / ref).is_file():
            return (git / ref).read_text().strip()[:12]
        for line in (git / "packed-refs").read_text().splitlines():
            if line.endswith(" " + ref):
                return line.split()[0][:12]
    except OSError:
        pass
    return "unknown"


def environment() -> dict[str, Any]:
    """Python, processors and commit, for the first line of a report."""
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "cpus": os.cpu_count(),
        "cpus_allowed": len(os.sched_getaffinity(0)),
        "commit": git_commit(),
    }


def environment_line(env: dict[str, Any]) -> str:
    return (f"Python {env['python']} ({env['implementation']}), "
            f"{env['cpus']} CPUs ({env['cpus_allowed']} allowed), commit {env['commit']}")


def build(build_dir: pathlib.Path, targets: Iterable[str]) -> None:
    """Configures build_dir once, then brings the module and |targets| up to date."""
    if not (build_dir / "CMakeCache.txt").is_file():
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
             "-DOVILEX_TESTS=OFF", "-DOVILEX_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
            check=True, stdout=subprocess.DEVNULL,
        )
    subprocess.run(
        ["cmake", "--build", str(build_dir), "--target", "_ovilex", *targets],
        check=True, stdout=subprocess.DEVNULL,
    )


# --------------------------------------------------------------------------
# The corpus as chunks


def load_chunks(rebuild: bool = False) -> tuple[dict[str, str], dict[str, list[str]], float]:
    """The corpus's text per source, the same split into chunks, and the
    seconds that splitting took."""
    texts = corpus.load(rebuild, log=log)
    start = time.perf_counter()
    per_source = {name: corpus.split(text) for name, text in texts.items()}
    return texts, per_source, time.perf_counter() - start


def subset_of(per_source: dict[str, list[str]], total: int) -> list[str]:
    """The first total/len(sources) chunks of every source, in source order."""
    k = max(1, total // len(per_source))
    return [c for chunks in per_source.values() for c in chunks[:k]]


def utf8_size(chunks: list[str]) -> int:
    return sum(len(c.encode("utf-8")) for c in chunks)


def write_chunks(path: pathlib.Path, chunks: list[str]) -> None:
    """A chunk file for the C++ helpers (bench/chunk_file.h)."""
    data = [c.encode("utf-8") for c in chunks]
    lengths = array.array("I", (len(d) for d in data))
    if sys.byteorder != "little":
        lengths.byteswap()
    with path.open("wb") as f:
        f.write(b"OVXC" + struct.pack("<Q", len(data)))
        f.write(lengths.tobytes())
        f.write(b"".join(data))


# --------------------------------------------------------------------------
# Timing


def best_of(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    """The shortest of |repeat| timed calls, and the last call's result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None  # let the previous result go before the next call
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


# --------------------------------------------------------------------------
# Merge lists


Merge = tuple[tuple[int, int], int]


def write_merges(path: pathlib.Path, merges: list[Merge]) -> None:
    """A merges file for the C++ helpers (bench/chunk_file.h)."""
    flat = array.array("H", (x for (l, r), n in merges for x in (l, r, n)))
    if sys.byteorder != "little":
        flat.byteswap()
    path.write_bytes(b"OVXM" + struct.pack("<Q", len(merges)) + flat.tobytes())


def read_merges(path: pathlib.Path) -> list[Merge]:
    data = path.read_bytes()
    if data[:4] != b"OVXM":
        raise ValueError(f"{path}: not a merges file")
    (m,) = struct.unpack_from("<Q", data, 4)
    flat = array.array("H", data[12:])
    if sys.byteorder != "little":
        flat.byteswap()
    if len(flat) != 3 * m:
        raise ValueError(f"{path}: {len(flat)} ids for {m} merges")
    return [((flat[i], flat[i + 1]), flat[i + 2]) for i in range(0, len(flat), 3)]


def reset_peak() -> bool:
    """Lowers the peak resident size of this process (VmHWM) to its current
    size; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def status_kb(field: str = "VmRSS") -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM, ...), in kB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")
