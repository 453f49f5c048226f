"""End-to-end benchmark of the command line: raw text files to record files.

    tools/env --with bench python3.14 bench/bench_cli.py [--repeat N] [--jobs 1,2] [--json]

Builds _ovilex into build-bench (as the other benchmarks do), gathers the
corpus (bench/corpus.py), then times

    python3.14 -m ovilex train bench/corpus/*.txt --workdir TMP --jobs N --timings-json F

in a fresh subprocess and a fresh temporary directory, once per --jobs value
(best of --repeat runs by wall time, the values taking turns). The wall time is split into the
stages that the command reports in F: reading and splitting, training with
its check (every distinct chunk's tokens decoded back), and the rest
(interpreter start, imports, loading the record files, the summary). Every
run must report the same chunk counts, merges and tokens, and a good round
trip.

Below the table, for comparison, the former way of splitting in the
process itself: reading every file and `SPLIT_PATTERN.findall` into one list
of chunks (what `_ovilex.encode_train` would then be given), one process.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
from typing import Any

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import corpus  # noqa: E402
from common import MB, ROOT, build, environment, environment_line, log  # noqa: E402

SAME = ("files", "bytes", "chunks", "distinct_chunks", "merges", "tokens")


def run_cli(build_dir: pathlib.Path, files: list[pathlib.Path], jobs: int) -> dict[str, Any]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT / "python"), str(build_dir)])
    with tempfile.TemporaryDirectory(prefix="ovilex-bench-cli-") as tmp:
        timings = pathlib.Path(tmp, "timings.json")
        load = os.getloadavg()[0]
        cmd = [sys.executable, "-m", "ovilex", "train", *map(str, files), "--workdir", tmp,
               "--jobs", str(jobs), "--timings-json", str(timings)]
        start = time.perf_counter()
        subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        report = json.loads(timings.read_text())
    report["wall_seconds"] = wall
    report["jobs"] = jobs
    report["load"] = load
    return report


def in_process_split(files: list[pathlib.Path]) -> dict[str, float]:
    """Reading and splitting into one list, as a training script would
    without the command line."""
    from ovilex.split import SPLIT_PATTERN

    start = time.perf_counter()
    chunks: list[str] = []
    for path in files:
        chunks.extend(SPLIT_PATTERN.findall(path.read_text(encoding="utf-8")))
    seconds = time.perf_counter() - start
    result = {"seconds": seconds, "chunks": len(chunks)}
    del chunks
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=2, help="runs per row (best wall time)")
    parser.add_argument("--jobs", default=f"1,{len(os.sched_getaffinity(0))}",
                        help="comma-separated --jobs values, one row each (default: 1 and "
                        "the usable processors)")
    parser.add_argument("--build-dir", default=str(ROOT / "build-bench"))
    parser.add_argument("--no-build", action="store_true", help="use build-dir as it is")
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    args = parser.parse_args(argv)

    build_dir = pathlib.Path(args.build_dir)
    if not args.no_build:
        log(f"bench: building _ovilex in {build_dir}")
        build(build_dir, [])
    corpus.build(log=log)
    files = sorted(corpus.CACHE / f"{s.name}.txt" for s in corpus.SOURCES)
    env = environment()

    # Runs alternate between the --jobs values, so that each row sees the
    # same swings of the machine's load.
    best: dict[int, dict[str, Any]] = {}
    for i in range(args.repeat):
        for jobs in dict.fromkeys(int(j) for j in args.jobs.split(",")):
            log(f"bench: ovilex train, {len(files)} files, --jobs {jobs}, run {i + 1}")
            report = run_cli(build_dir, files, jobs)
            if not report["round_trip"]:
                log("bench: the round trip failed")
                return 1
            if jobs not in best or report["wall_seconds"] < best[jobs]["wall_seconds"]:
                best[jobs] = report
    rows = list(best.values())
    for row in rows[1:]:
        if any(row[k] != rows[0][k] for k in SAME):
            log(f"bench: MISMATCH between --jobs {rows[0]['jobs']} and --jobs {row['jobs']}")
            return 1

    log("bench: reading and splitting into one list, in this process")
    reference = in_process_split(files)
    if reference["chunks"] != rows[0]["chunks"]:
        log("bench: MISMATCH in the chunk count of the in-process split")
        return 1

    result = {"env": env, "rows": rows, "in_process_split": reference}
    if args.json:
        print(json.dumps(result, indent=1))
    else:
        print_table(result)
    return 0


def print_table(r: dict[str, Any]) -> None:
    first = r["rows"][0]
    print(environment_line(r["env"]))
    print(f"corpus: {len(corpus.SOURCES)} sources in {first['files']} files, "
          f"{first['bytes'] / MB:.1f} MB, {first['chunks']:,} chunks "
          f"({first['distinct_chunks']:,} distinct); {first['merges']} merges; "
          f"{first['bytes'] / first['tokens']:.2f} bytes per token")
    print()
    head = (f"| {'jobs':>4} | {'wall s':>7} | {'read+split s':>12} | {'train+check s':>13} | "
            f"{'rest s':>6} | {'split share':>11} | {'split chunks/s':>14} | {'load':>4} |")
    print(head)
    print("|" + "|".join("-" * len(c) for c in head.split("|")[1:-1]) + "|")
    for x in r["rows"]:
        rest = x["wall_seconds"] - x["read_split_seconds"] - x["train_seconds"]
        print(f"| {x['jobs']:>4} | {x['wall_seconds']:>7.2f} | {x['read_split_seconds']:>12.2f} | "
              f"{x['train_seconds']:>13.2f} | {rest:>6.2f} | "
              f"{x['read_split_seconds'] / x['wall_seconds']:>10.0%} | "
              f"{x['chunks'] / x['read_split_seconds']:>14,.0f} | {x['load']:>4.1f} |")
    ref = r["in_process_split"]
    print()
    print("load: the one-minute load average when the row's best run began (2 cores)")
    print(f"for comparison, reading and findall into one list in this process: "
          f"{ref['seconds']:.2f} s ({ref['chunks'] / ref['seconds']:,.0f} chunks/s)")


if __name__ == "__main__":
    sys.exit(main())
