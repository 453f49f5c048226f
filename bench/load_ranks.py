"""Load times of the published tiktoken encodings: ovilex's
Tokenizer.from_tiktoken on the JSON form and on the same ranks as a
.tiktoken file, beside tiktoken's load_tiktoken_bpe + Encoding(...) and
Encoding(...) alone (ranks already in a dict). Each figure is the least of
--repeat runs, the two libraries taking turns, so that both meet the same
load on the machine.

    tools/env bash -c 'OVILEX_BUILD_DIR=build python3.14 bench/load_ranks.py'

The files come from tools/fetch-encoders (OVILEX_ENCODERS_DIR, by default
/var/cache/ovilex/encoders). A file whose pattern ovilex does not split by
is loaded with pattern="gpt2" in its place (marked *): the pattern is a
name looked up, not part of the cost.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("OVILEX_BUILD_DIR", "build"))
sys.path[:0] = [str(BUILD if BUILD.is_absolute() else ROOT / BUILD), str(ROOT / "python")]

import tiktoken  # noqa: E402
import tiktoken.load  # noqa: E402

from harness import least  # noqa: E402
from ovilex import Tokenizer  # noqa: E402
from ovilex.patterns import pattern_name  # noqa: E402

ENCODERS = pathlib.Path(os.environ.get("OVILEX_ENCODERS_DIR", "/var/cache/ovilex/encoders"))


def compact_ranks(text: str) -> dict[bytes, int]:
    ranks = {}
    for line in filter(None, text.split("\n")):
        fields = line.split(" ")
        for i, token in enumerate(fields[2:], int(fields[1])):
            ranks[base64.b64decode(token)] = i
    return ranks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    files = sorted(ENCODERS.glob("*.json"))
    if not files:
        sys.exit(f"no encodings in {ENCODERS}: run tools/fetch-encoders")
    print(f"{'file':<16} {'ranks':>7}  {'ovilex json':>11} {'ovilex .tt':>10}  "
          f"{'tt load+enc':>11} {'tt enc':>7}  {'enc/json':>8} {'load/.tt':>8}")
    with tempfile.TemporaryDirectory() as tmp:
        for path in files:
            info = json.loads(path.read_text())
            ranks = compact_ranks(info["bpe_ranks"])
            lines = pathlib.Path(tmp) / (path.stem + ".tiktoken")
            lines.write_text("".join(f"{base64.b64encode(b).decode()} {r}\n"
                                     for b, r in ranks.items()))
            specials = info["special_tokens"]
            try:
                pattern_name(info["pat_str"])
                pattern, mark = None, " "
            except ValueError:
                pattern, mark = "gpt2", "*"
            times = {}
            for _ in range(args.repeat):
                times["json"] = min(times.get("json", 1e9), 1000 * least(
                    lambda: Tokenizer.from_tiktoken(path, pattern=pattern), 1))
                times["lines"] = min(times.get("lines", 1e9), 1000 * least(
                    lambda: Tokenizer.from_tiktoken(lines, pattern=pattern or info["pat_str"],
                                                    special_tokens=specials), 1))
                times["tt_load"] = min(times.get("tt_load", 1e9), 1000 * least(
                    lambda: tiktoken.Encoding(path.stem, pat_str=info["pat_str"],
                                              mergeable_ranks=tiktoken.load.load_tiktoken_bpe(
                                                  str(lines)),
                                              special_tokens=specials), 1))
                times["tt_enc"] = min(times.get("tt_enc", 1e9), 1000 * least(
                    lambda: tiktoken.Encoding(path.stem, pat_str=info["pat_str"],
                                              mergeable_ranks=ranks, special_tokens=specials), 1))
            print(f"{path.stem + mark:<16} {len(ranks):>7}  {times['json']:>9.1f}ms "
                  f"{times['lines']:>8.1f}ms  {times['tt_load']:>9.1f}ms {times['tt_enc']:>5.1f}ms"
                  f"  {times['tt_enc'] / times['json']:>7.1f}x {times['tt_load'] / times['lines']:>7.1f}x")


if __name__ == "__main__":
    main()
