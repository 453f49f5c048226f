"""Speed of the NFC normalizer (ovilex._native.normalize) beside the
interpreter's unicodedata.normalize("NFC", ...) and Hugging Face tokenizers'
normalizers.NFC().normalize_str, on each source of the bench corpus as it is
(nearly all NFC already: the fast path) and in its NFD form (every accent
decomposed: the stretches that need the work); "composed" is the code points
that NFC takes away ("-": the text is NFC already). ovilex's figure includes making the new str when the
text changes (the same object comes back otherwise). Then the cost of the
rule inside encoding, without any str made: Tokenizer.count of the whole text
on a byte-level tokenizer without merges, with and without normalizer="nfc".
MB/s of UTF-8 input by the least of --repeat runs; every result is checked
against unicodedata's, and the run fails when one differs.

    tools/env --with bench python3.14 bench/corpus.py     # the corpus, once
    tools/env bash -c 'OVILEX_BUILD_DIR=build python3.14 bench/nfc.py'
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import unicodedata

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("OVILEX_BUILD_DIR", "build"))
sys.path[:0] = [str(BUILD if BUILD.is_absolute() else ROOT / BUILD), str(ROOT / "python")]

from harness import least  # noqa: E402
from ovilex import Tokenizer, _native  # noqa: E402

CORPUS = ROOT / "bench" / "corpus"
MB = 1_000_000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("sources", nargs="*", default=["man-en", "man-fr", "man-de", "man-ru",
                                                       "man-ja", "kjv", "python"])
    args = parser.parse_args()
    try:
        import tokenizers
        hf = tokenizers.normalizers.NFC().normalize_str
    except ImportError:
        hf = None
    vocab = {b: bytes([b]) for b in range(256)}
    plain = Tokenizer([], vocab)
    nfc_tok = Tokenizer([], vocab, normalizer="nfc")
    print(f"Python {sys.version.split()[0]}, unicodedata {unicodedata.unidata_version}, "
          f"tables {_native.NFC_UNICODE_VERSION}; MB/s, least of {args.repeat}")
    print(f"{'source':10} {'form':5} {'MB':>5} {'composed':>8} {'ovilex':>8} "
          f"{'unicodedata':>11} {'HF':>8} {'count':>8} {'+nfc':>8}")
    failed = False
    for name in args.sources:
        path = CORPUS / f"{name}.txt"
        if not path.exists():
            print(f"{name}: no {path}; make the corpus with bench/corpus.py", file=sys.stderr)
            return 2
        text = path.read_text(encoding="utf-8")
        for form, sample in (("as is", text), ("NFD", unicodedata.normalize("NFD", text))):
            size = len(sample.encode()) / MB
            want = unicodedata.normalize("NFC", sample)
            if _native.normalize(sample) != want or \
                    nfc_tok.count(sample) != len(want.encode()):
                print(f"{name} {form}: ovilex's NFC differs from unicodedata's", file=sys.stderr)
                failed = True
            row = [least(lambda: _native.normalize(sample), args.repeat),
                   least(lambda: unicodedata.normalize("NFC", sample), args.repeat),
                   least(lambda: hf(sample), args.repeat) if hf else float("nan"),
                   least(lambda: plain.count(sample), args.repeat),
                   least(lambda: nfc_tok.count(sample), args.repeat)]
            speeds = [f"{size / t:8.0f}" if t == t else f"{'-':>8}" for t in row]
            speeds[1] = f"{speeds[1]:>11}"
            changed = "-" if sample == want else len(sample) - len(want)
            print(f"{name:10} {form:5} {size:5.1f} {changed:>8} {' '.join(speeds)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
