"""The benchmark corpus: real text from the Debian packages that
`tools/env --with bench` installs (tools/packages/bench.txt).

    tools/env --with bench python3.14 bench/corpus.py [--rebuild]

Every source is gathered once into bench/corpus/<source>.txt (UTF-8); the
cache holds while bench/corpus/manifest.json carries CORPUS_VERSION. Raise it
whenever a source, a cap or the cleaning changes. bench/README.md describes
the sources.
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
from collections.abc import Callable
from dataclasses import dataclass

CACHE = pathlib.Path(__file__).resolve().parent / "corpus"
MANIFEST = CACHE / "manifest.json"
ALL = CACHE / "all.txt"
CORPUS_VERSION = 2
MB = 1_000_000  # the benchmarks' megabyte

# --------------------------------------------------------------------------
# Groff source to running text

_COMMENT = re.compile(r"""^[.'][ \t]*\\["#]""")
_REQUEST = re.compile(r"""^[.']\s*([A-Za-z0-9_]+)\s*(.*)$""")
# Requests whose arguments are text; the alternating-font ones join their
# arguments without spaces, and .IP keeps only its tag (not the indent).
_TEXT_REQUESTS = {"SH", "SS", "B", "I", "SM", "SB", "OP", "UR", "MT", "Nm", "Nd", "Sh", "Ss", "IP"}
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
_SIMPLE_ESCAPES = {"-": "-", "e": "\\", "\\": "\\", "~": " ", " ": " ", "0": " ", "t": "\t",
                   ".": ".", "'": "'", "`": "`"}


def _escape(m: re.Match[str]) -> str:
    named = m.group(1) or m.group(2)
    if named is not None:
        return _NAMED_CHARS.get(named, "")
    return "" if m.group(3) is None else _SIMPLE_ESCAPES.get(m.group(3), "")


def clean_groff(source: str) -> str:
    """Comments and layout requests dropped, the text of heading and font
    requests kept, font and character escapes removed or replaced."""
    out: list[str] = []
    for line in source.splitlines():
        if _COMMENT.match(line):
            continue
        if line[:1] in (".", "'"):
            m = _REQUEST.match(line)
            if m is None or m[1] not in _TEXT_REQUESTS | _JOINED_REQUESTS:
                continue
            args = [a[1].replace('""', '"') if a[1] is not None else a[2]
                    for a in _ARG.finditer(m[2])]
            args = args[:1] if m[1] == "IP" else args
            line = ("" if m[1] in _JOINED_REQUESTS else " ").join(args)
        out.append(_ESCAPE.sub(_escape, line))
    return "\n".join(out) + "\n"


# --------------------------------------------------------------------------
# Sources


@dataclass(frozen=True)
class Source:
    name: str
    roots: tuple[str, ...]
    accept: Callable[[pathlib.Path], bool]
    cap: int
    clean: Callable[[str], str] | None = None
    prune: tuple[str, ...] = ()
    command: tuple[str, ...] = ()  # a program whose output is the text, instead of files


def _man_page(p: pathlib.Path) -> bool:
    return p.name.endswith(".gz") and p.parent.name.startswith("man")


MAN_LANGS = {"de": 5, "fr": 5, "es": 3, "it": 2, "pl": 4, "ru": 5, "ja": 5}
SOURCES: tuple[Source, ...] = (
    Source("man-en", ("/usr/share/man",),
           lambda p: _man_page(p) and p.parent.parent == pathlib.Path("/usr/share/man"),
           16 * MB, clean_groff),
    *(Source(f"man-{lang}", (f"/usr/share/man/{lang}",), _man_page, mb * MB, clean_groff)
      for lang, mb in MAN_LANGS.items()),
    Source("docs", ("/usr/share/doc/debian-policy", "/usr/share/developers-reference"),
           lambda p: p.name.endswith(".txt.gz") and "changelog" not in p.name, 6 * MB),
    Source("c-headers", ("/usr/include",), lambda p: p.suffix == ".h", 14 * MB,
           prune=("/usr/include/boost", "/usr/include/c++")),
    Source("python", ("/usr/lib/python3.14",), lambda p: p.suffix == ".py", 12 * MB,
           prune=("/usr/lib/python3.14/site-packages", "/usr/lib/python3.14/dist-packages")),
    # All 66 books (about 4.3 MB), wrapped at 79 columns.
    Source("kjv", (), lambda p: False, 5 * MB, command=("bible", "Gen1:1-Rev22:21")),
)


def _paths(source: Source) -> list[pathlib.Path]:
    """Regular files (no symbolic links) under the roots, in sorted path order."""
    found: list[pathlib.Path] = []
    for root in source.roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if os.path.join(dirpath, d) not in source.prune]
            found += (p for f in filenames if not (p := pathlib.Path(dirpath, f)).is_symlink()
                      and p.is_file() and source.accept(p))
    return sorted(found)


def gather(source: Source) -> tuple[str, int]:
    """The source's text and the number of files it came from: whole files in
    path order until the cap is passed, skipping a file whose content an
    earlier one had (packages install some pages twice under other names)."""
    if source.command:
        try:
            out = subprocess.run(source.command, stdin=subprocess.DEVNULL, capture_output=True,
                                 check=True, env={**os.environ, "COLUMNS": "80"}).stdout
        except (OSError, subprocess.CalledProcessError):
            out = b""
        return out.decode("utf-8", errors="replace"), int(bool(out))
    parts: list[str] = []
    seen: set[bytes] = set()
    size = 0
    for p in _paths(source):
        if size >= source.cap:
            break
        raw = p.read_bytes()
        raw = gzip.decompress(raw) if p.name.endswith(".gz") else raw
        digest = hashlib.sha256(raw).digest()
        if digest in seen:
            continue
        seen.add(digest)
        text = raw.decode("utf-8", errors="replace")
        text = source.clean(text) if source.clean is not None else text
        parts.append(text if text.endswith("\n") else text + "\n")
        size += len(parts[-1].encode("utf-8"))
    return "".join(parts), len(parts)


def build(rebuild: bool = False) -> dict:
    """The manifest of the cached corpus, gathered first unless the cache holds."""
    try:
        manifest = json.loads(MANIFEST.read_text())
    except (OSError, ValueError):
        manifest = {}
    names = [s.name for s in SOURCES]
    if (not rebuild and manifest.get("version") == CORPUS_VERSION
            and [e["name"] for e in manifest.get("sources", [])] == names
            and all((CACHE / f"{n}.txt").is_file() for n in names)):
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
        print(f"corpus: gathered {source.name}: {files} files, {len(data) / MB:.2f} MB",
              file=sys.stderr)
    manifest = {"version": CORPUS_VERSION, "sources": entries}
    MANIFEST.write_text(json.dumps(manifest, indent=1) + "\n")
    return manifest


def files() -> list[pathlib.Path]:
    """The sources' files, in SOURCES order."""
    build()
    return [CACHE / f"{s.name}.txt" for s in SOURCES]


def all_file() -> pathlib.Path:
    """bench/corpus/all.txt: the sources one after another, for the peers
    that take one file."""
    paths = files()  # a corpus gathered anew removes the old all.txt
    if not ALL.is_file():
        partial = ALL.with_suffix(".part")
        partial.write_bytes(b"".join(p.read_bytes() for p in paths))
        partial.rename(ALL)
    return ALL


def main() -> int:
    parser = argparse.ArgumentParser(description="Gathers the benchmark corpus into bench/corpus/.")
    parser.add_argument("--rebuild", action="store_true", help="gather again even if cached")
    manifest = build(parser.parse_args().rebuild)
    print(f"{'source':<12} {'files':>7} {'MB':>8}")
    for e in manifest["sources"]:
        print(f"{e['name']:<12} {e['files']:>7} {e['bytes'] / MB:>8.2f}")
    print(f"{'total':<12} {'':>7} {sum(e['bytes'] for e in manifest['sources']) / MB:>8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
