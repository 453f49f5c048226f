"""The benchmark corpus: real text gathered from installed Debian packages.

    tools/env --with bench python3.14 bench/corpus.py [--rebuild]

Each source is read from a sorted file list up to a fixed size cap and cached
as one UTF-8 file under bench/corpus/ (<source>.txt). The cache is reused as
long as bench/corpus/manifest.json carries the same CORPUS_VERSION; raise it
whenever a source, a cap or the cleaning changes.

Sources (the packages are listed in tools/packages/bench.txt):

- man-<lang>: manual pages (gzip-compressed groff source) for English and seven
  other languages, with comments, layout requests and font escapes removed.
- docs: the Debian policy documents and the developers' reference in six
  languages (their plain-text renderings).
- c-headers: C headers under /usr/include (Boost and the C++ library left out).
- python: the Python sources of the standard library of Python 3.14.
- kjv: the King James Bible, as the bible-kjv program prints it from its
  compressed text.

all_file() also writes the whole corpus, the sources one after another, as
bench/corpus/all.txt, for the benchmarks that hand a peer a single file.

split(text) cuts a text into chunks: ovilex.split, from python/ovilex.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass

HERE = pathlib.Path(__file__).resolve().parent
CACHE = HERE / "corpus"
MANIFEST = CACHE / "manifest.json"
ALL = CACHE / "all.txt"
CORPUS_VERSION = 2

MB = 1_000_000

# --------------------------------------------------------------------------
# Pre-splitting: the project's own (python/ovilex/split.py).

sys.path.insert(0, str(HERE.parent / "python"))


def split(text: str) -> list[str]:
    """ovilex.split. Imported on first use: the package needs its native
    module, which a benchmark puts on the path once it has built it, and
    gathering the corpus needs neither."""
    from ovilex.split import split as ovilex_split

    return ovilex_split(text)

# --------------------------------------------------------------------------
# Groff cleaning

_COMMENT = re.compile(r"""^[.'][ \t]*\\["#]""")
_REQUEST = re.compile(r"""^[.']\s*([A-Za-z0-9_]+)\s*(.*)$""")
# Requests whose arguments are text; the alternating-font ones join their
# arguments without spaces, and .IP keeps only its tag (not the indent).
_TEXT_REQUESTS = {"SH", "SS", "B", "I", "SM", "SB", "OP", "UR", "MT", "Nm", "Nd", "Sh", "Ss"}
_JOINED_REQUESTS = {"BR", "RB", "BI", "IB", "IR", "RI"}
_ARG = re.compile(r'"((?:[^"]|"")*)"|(\S+)')
_NAMED_CHARS = {
    "aq": "'", "dq": '"', "em": "\u2014", "en": "\u2013", "bu": "\u2022",
    "co": "\u00a9", "lq": "\u201c", "rq": "\u201d", "oq": "\u2018", "cq": "\u2019",
    "hy": "-", "mi": "-", "ti": "~", "ha": "^", "rs": "\\", "at": "@", "sl": "/",
    "lB": "[", "rB": "]", "lC": "{", "rC": "}", "la": "<", "ra": ">", "Fo": "\u00ab",
    "Fc": "\u00bb", "->": "\u2192", "<-": "\u2190", ">=": "\u2265", "<=": "\u2264",
    "tm": "\u2122", "rg": "\u00ae", "de": "\u00b0", "mu": "\u00d7", "pl": "+", "eq": "=",
}
_ESCAPE = re.compile(
    r"""\\(?:f(?:\[[^\]]*\]|\(..|.)"""   # font changes
    r"""|s[+-]?\d"""                     # size changes
    r"""|\*(?:\[[^\]]*\]|\(..|.)"""      # string interpolation
    r"""|\((..)"""                       # \(xx named character
    r"""|\[([^\]]*)\]"""                 # \[name] named character
    r"""|(.))"""                         # any other one-character escape
)
_SIMPLE_ESCAPES = {"-": "-", "e": "\\", "\\": "\\", "~": " ", " ": " ", "0": " ", "t": "\t", ".": ".", "'": "'", "`": "`"}


def _escape(m: re.Match[str]) -> str:
    named = m.group(1) or m.group(2)
    if named is not None:
        return _NAMED_CHARS.get(named, "")
    one = m.group(3)
    if one is not None:
        return _SIMPLE_ESCAPES.get(one, "")
    return ""


def clean_groff(source: str) -> str:
    """Man page source to running text: comments and layout requests dropped,
    the text of heading and font requests kept, font escapes removed."""
    out: list[str] = []
    for line in source.splitlines():
        if _COMMENT.match(line):
            continue
        if line[:1] in (".", "'"):
            m = _REQUEST.match(line)
            if m is None:
                continue
            name, rest = m.groups()
            if name in _TEXT_REQUESTS or name in _JOINED_REQUESTS or name == "IP":
                args = [
                    a.group(1).replace('""', '"') if a.group(1) is not None else a.group(2)
                    for a in _ARG.finditer(rest)
                ]
                if name == "IP":
                    args = args[:1]
                line = ("" if name in _JOINED_REQUESTS else " ").join(args)
            else:
                continue
        line = _ESCAPE.sub(_escape, line)
        out.append(line)
    return "\n".join(out) + "\n"


# --------------------------------------------------------------------------
# Sources


@dataclass(frozen=True)
class Source:
    name: str
    roots: tuple[str, ...]
    accept: Callable[[pathlib.Path], bool]
    cap_bytes: int
    clean: Callable[[str], str] | None = None
    prune: tuple[str, ...] = ()
    # A program whose output is the source's text, instead of files.
    command: tuple[str, ...] = ()


def _is_man_page(p: pathlib.Path) -> bool:
    return p.name.endswith(".gz") and p.parent.name.startswith("man")


def _english_man_page(p: pathlib.Path) -> bool:
    return _is_man_page(p) and p.parent.parent == pathlib.Path("/usr/share/man")


def _doc_text(p: pathlib.Path) -> bool:
    return p.name.endswith(".txt.gz") and "changelog" not in p.name


MAN_LANGS = {"de": 5, "fr": 5, "es": 3, "it": 2, "pl": 4, "ru": 5, "ja": 5}

SOURCES: tuple[Source, ...] = (
    Source("man-en", ("/usr/share/man",), _english_man_page, 16 * MB, clean_groff),
    *(
        Source(f"man-{lang}", (f"/usr/share/man/{lang}",), _is_man_page, mb * MB, clean_groff)
        for lang, mb in MAN_LANGS.items()
    ),
    Source(
        "docs",
        ("/usr/share/doc/debian-policy", "/usr/share/developers-reference"),
        _doc_text,
        6 * MB,
    ),
    Source(
        "c-headers",
        ("/usr/include",),
        lambda p: p.suffix == ".h",
        14 * MB,
        prune=("/usr/include/boost", "/usr/include/c++"),
    ),
    Source("python", ("/usr/lib/python3.14",), lambda p: p.suffix == ".py", 12 * MB,
           prune=("/usr/lib/python3.14/site-packages", "/usr/lib/python3.14/dist-packages")),
    # The text is stored compressed for the program's own random access; the
    # whole range prints all 66 books (about 4.3 MB), wrapped at 79 columns.
    Source("kjv", (), lambda p: False, 5 * MB, command=("bible", "Gen1:1-Rev22:21")),
)


def _files(source: Source) -> Iterator[pathlib.Path]:
    """Regular files (no symbolic links) under the roots, in sorted path order."""
    found: list[pathlib.Path] = []
    for root in source.roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if os.path.join(dirpath, d) not in source.prune]
            for f in filenames:
                p = pathlib.Path(dirpath, f)
                if not p.is_symlink() and p.is_file() and source.accept(p):
                    found.append(p)
    return iter(sorted(found))


def _read(p: pathlib.Path) -> bytes:
    raw = p.read_bytes()
    return gzip.decompress(raw) if p.name.endswith(".gz") else raw


def gather(source: Source) -> tuple[str, int]:
    """The source's text, whole files in path order until the cap is passed.
    A file whose content an earlier file already had is skipped (packages
    install some pages and documents twice under different names)."""
    if source.command:
        try:
            out = subprocess.run(source.command, stdin=subprocess.DEVNULL, capture_output=True,
                                 check=True, env={**os.environ, "COLUMNS": "80"}).stdout
        except (OSError, subprocess.CalledProcessError):
            out = b""
        text = out.decode("utf-8", errors="replace")
        return text, int(bool(text))
    parts: list[str] = []
    seen: set[bytes] = set()
    size = 0
    files = 0
    for p in _files(source):
        if size >= source.cap_bytes:
            break
        raw = _read(p)
        digest = hashlib.sha256(raw).digest()
        if digest in seen:
            continue
        seen.add(digest)
        text = raw.decode("utf-8", errors="replace")
        if source.clean is not None:
            text = source.clean(text)
        if not text.endswith("\n"):
            text += "\n"
        parts.append(text)
        size += len(text.encode("utf-8"))
        files += 1
    return "".join(parts), files


def _manifest_ok() -> dict | None:
    try:
        manifest = json.loads(MANIFEST.read_text())
    except (OSError, ValueError):
        return None
    if manifest.get("version") != CORPUS_VERSION:
        return None
    if [s["name"] for s in manifest.get("sources", [])] != [s.name for s in SOURCES]:
        return None
    if not all((CACHE / f"{s.name}.txt").is_file() for s in SOURCES):
        return None
    return manifest


def build(rebuild: bool = False, log=print) -> dict:
    """Makes (or reuses) the cached corpus; returns the manifest."""
    manifest = None if rebuild else _manifest_ok()
    if manifest is not None:
        return manifest
    CACHE.mkdir(parents=True, exist_ok=True)
    ALL.unlink(missing_ok=True)  # made from the old sources
    entries = []
    for source in SOURCES:
        text, files = gather(source)
        if files == 0:
            where = " ".join(source.command) or ", ".join(source.roots)
            raise SystemExit(f"corpus: no text for {source.name} from {where}; "
                             "run through `tools/env --with bench`")
        data = text.encode("utf-8")
        (CACHE / f"{source.name}.txt").write_bytes(data)
        entries.append({"name": source.name, "files": files, "bytes": len(data)})
        log(f"corpus: gathered {source.name}: {files} files, {len(data) / MB:.2f} MB")
    manifest = {"version": CORPUS_VERSION, "sources": entries}
    MANIFEST.write_text(json.dumps(manifest, indent=1) + "\n")
    return manifest


def load(rebuild: bool = False, log=print) -> dict[str, str]:
    """Source name -> its text, in SOURCES order."""
    build(rebuild, log)
    return {s.name: (CACHE / f"{s.name}.txt").read_text(encoding="utf-8") for s in SOURCES}


def all_file(rebuild: bool = False, log=print) -> pathlib.Path:
    """bench/corpus/all.txt: every source's text, in SOURCES order, as one
    UTF-8 file (made once per corpus)."""
    build(rebuild, log)
    if not ALL.is_file():
        partial = ALL.with_suffix(".part")
        with partial.open("wb") as out:
            for s in SOURCES:
                out.write((CACHE / f"{s.name}.txt").read_bytes())
        partial.rename(ALL)
    return ALL


def summary(manifest: dict) -> str:
    lines = [f"{'source':<12} {'files':>7} {'MB':>8}"]
    total = 0
    for e in manifest["sources"]:
        lines.append(f"{e['name']:<12} {e['files']:>7} {e['bytes'] / MB:>8.2f}")
        total += e["bytes"]
    lines.append(f"{'total':<12} {'':>7} {total / MB:>8.2f}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Build the benchmark corpus under bench/corpus/.")
    parser.add_argument("--rebuild", action="store_true", help="gather again even if cached")
    args = parser.parse_args(argv)
    manifest = build(args.rebuild)
    print(summary(manifest))
    return 0


if __name__ == "__main__":
    sys.exit(main())
