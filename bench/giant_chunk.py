"""One giant chunk: a file that is a single run of one letter has no safe cut,
so it is one chunk. Trains on it with `ovilex train FILE --workdir W`, then
encodes it with `ovilex encode FILE --out DIR --workdir W`, each in a process
of its own, and prints the wall and processor seconds and the peak resident
memory of each (the whole command, ru_maxrss), also per byte of the file.

    python3.14 bench/giant_chunk.py [--sizes MB,...] [--letters TEXT] [--dir DIR] [--limit BYTES]

Run inside the environment (tools/env) with python/ and the build directory
on PYTHONPATH, as tools/ovilex sets them. --letters draws each byte of the
file at random from TEXT (ASCII letters, so still one chunk; seeded, so the
same file each time) instead of repeating one letter. With --limit, exits 1 when a peak
passes BYTES per byte of the file (at any size), after printing the table.
"""

import argparse
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

MB = 1_000_000


def make_file(path: pathlib.Path, size: int, letters: str) -> None:
    """|size| bytes of |letters|: one repeated, or several drawn at random,
    written a block at a time."""
    rng = random.Random(size)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, MB)
            block = letters * n if len(letters) == 1 else "".join(rng.choices(letters, k=n))
            f.write(block.encode("ascii"))
            left -= n


def run(argv: list[str]) -> tuple[float, float, int]:
    """Wall seconds, processor seconds (user and system) and peak resident
    bytes of the command, which must succeed."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    stderr = process.stderr.read() if process.stderr else b""
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.stderr.write(stderr.decode(errors="replace"))
        raise SystemExit(f"giant_chunk: failed: {' '.join(argv)}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10,30,100", help="file sizes in MB (default 10,30,100)")
    parser.add_argument("--letters", default="a",
                        help="ASCII letters the file is made of (default a: one run of a)")
    parser.add_argument("--dir", default="build/giant", help="scratch directory (default build/giant)")
    parser.add_argument("--limit", type=float, help="fail when a peak passes this many bytes per byte")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    scratch = pathlib.Path(args.dir)
    scratch.mkdir(parents=True, exist_ok=True)
    ovilex = [sys.executable, "-m", "ovilex"]
    print(f"{'size':>6} {'command':<7} {'seconds':>8} {'cpu s':>8} {'peak MB':>8} {'bytes/byte':>10}")
    over = []
    for mb in sizes:
        size = mb * MB
        if not args.letters.isascii() or not args.letters.isalpha():
            parser.error("--letters takes ASCII letters")
        text = scratch / f"{args.letters[:8]}-{mb}mb.txt"
        if not text.exists() or text.stat().st_size != size:
            make_file(text, size, args.letters)
        workdir = scratch / f"work-{mb}mb"
        out = scratch / f"out-{mb}mb"
        for d in (workdir, out):
            shutil.rmtree(d, ignore_errors=True)
        for name, argv in (("train", ovilex + ["train", str(text), "--workdir", str(workdir)]),
                           ("encode", ovilex + ["encode", str(text), "--out", str(out),
                                                "--workdir", str(workdir)])):
            seconds, cpu, peak = run(argv)
            per_byte = peak / size
            print(f"{mb:>4}MB {name:<7} {seconds:>8.1f} {cpu:>8.1f} {peak / MB:>8.0f} {per_byte:>10.1f}",
                  flush=True)
            if args.limit is not None and per_byte > args.limit:
                over.append(f"{name} of {mb} MB: {per_byte:.1f} bytes per byte")
    if over:
        print(f"giant_chunk: peak above {args.limit:g} bytes per byte: {'; '.join(over)}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
