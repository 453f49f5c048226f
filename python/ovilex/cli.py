"""The command line: ``python -m ovilex train|encode|decode``.

    python -m ovilex train [FILE]... [--workdir DIR] [--jobs N] [--timings-json FILE]
    python -m ovilex encode [--workdir DIR]  < text  > ids
    python -m ovilex decode [--workdir DIR]  < ids   > text

A mistake of the user (a missing or unreadable file, text that is not UTF-8,
an empty corpus, a malformed record file, a bad or unknown id) ends the
command with one line "ovilex: error: ..." on standard error and exit
status 1; a wrong option gives the usage line and status 2.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from . import _native
from .errors import OvilexError
from .records import RECORD_DIR, VOCAB_LIST
from .sources import default_files
from .tokenizer import Tokenizer, WordCounts, train_checked

MB = 1_000_000


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def _progress_bar(total: int, description: str) -> Any:
    """A tqdm bar on standard error when it is a terminal and tqdm is
    installed, else None."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=description, unit="B", unit_scale=True, leave=False,
                file=sys.stderr)


def _note(message: str) -> None:
    """A line of progress on standard error, on a terminal only."""
    if sys.stderr.isatty():
        print(message, file=sys.stderr, flush=True)


# ----------------------------------------------------------------------
# train


def _check_files(files: Sequence[pathlib.Path]) -> list[int]:
    """The size of every file; OvilexError for one that is missing or not a
    regular file, before anything is read."""
    sizes = []
    for path in files:
        try:
            info = path.stat()
        except FileNotFoundError:
            raise OvilexError(f"no such file: {path}") from None
        except OSError as e:
            raise OvilexError(f"cannot read {path}: {e.strerror}") from None
        if path.is_dir():
            raise OvilexError(f"{path} is a directory, not a text file")
        sizes.append(info.st_size)
    return sizes


def _table(rows: list[tuple[str, str]]) -> str:
    width = max(len(name) for name, _ in rows)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)


def train(args: argparse.Namespace) -> int:
    builtin = not args.files
    files: list[pathlib.Path] = default_files() if builtin else args.files
    if builtin and not files:
        raise OvilexError("no Python sources found for the built-in corpus")
    sizes = _check_files(files)
    total = sum(sizes)
    jobs = args.jobs or _native.usable_processors()
    # The built-in corpus is not the user's: a stray non-UTF-8 byte in it
    # becomes U+FFFD rather than an error.
    errors = "replace" if builtin else "strict"

    bar = _progress_bar(total, "reading and splitting")
    update: Callable[[int], None] | None = bar.update if bar is not None else None
    start = time.perf_counter()
    counts = WordCounts()
    try:
        counts.add_files([os.fspath(f) for f in files], threads=jobs, progress=update,
                         errors=errors)
    finally:
        if bar is not None:
            bar.close()
    split_seconds = time.perf_counter() - start
    chunks = counts.chunks
    if counts.distinct == 0:
        what = "file is" if len(files) == 1 else f"{len(files)} files are"
        raise OvilexError(f"no text to train on: the {what} empty")

    _note(f"training on {chunks:,} chunks ({counts.distinct:,} distinct)")
    start = time.perf_counter()
    # The check comes with training: every distinct chunk's final ids from
    # the merge loop decoded back to it, and the encoder held to those ids
    # on a sample (Tokenizer.check_round_trip encodes them all again).
    tokenizer, (tokens, nbytes, round_trip) = train_checked(Tokenizer, counts, args.workdir,
                                                           check=True)
    train_seconds = time.perf_counter() - start

    merges = tokenizer.merges
    records = (pathlib.Path(args.workdir).resolve() / RECORD_DIR)
    source = (f" (the standard library of Python {sys.version.split()[0]})" if builtin else "")
    print(_table([
        ("files", f"{len(files)}{source}"),
        ("text", f"{nbytes / MB:.1f} MB"),
        ("chunks", f"{chunks:,}"),
        ("distinct chunks", f"{counts.distinct:,}"),
        ("merges", f"{len(merges)}" + (f" (ids 256 to {merges[-1][1]})" if merges else "")),
        ("reading and splitting",
         f"{split_seconds:.2f} s ({total / MB / split_seconds:.0f} MB/s, "
         f"{jobs} thread{'s' if jobs > 1 else ''})"),
        ("training", f"{train_seconds:.2f} s (with the check: every distinct chunk's tokens "
                     "decoded back, the encoder compared on a sample)"),
        ("tokens", f"{tokens:,} ({nbytes / tokens:.2f} bytes per token)"),
        ("round trip", "ok" if round_trip else "MISMATCH"),
        ("records", f"{records}"),
    ]), flush=True)

    if args.timings_json is not None:
        report = {
            "files": len(files), "bytes": nbytes, "chunks": chunks,
            "distinct_chunks": counts.distinct, "merges": len(merges), "threads": jobs,
            "read_split_seconds": split_seconds,
            "train_seconds": train_seconds, "tokens": tokens,
            "round_trip": round_trip,
        }
        try:
            args.timings_json.write_text(json.dumps(report, indent=1) + "\n")
        except OSError as e:
            raise OvilexError(f"cannot write {args.timings_json}: {e.strerror}") from None
    if not round_trip:
        raise OvilexError("decoding the encoded chunks did not give them back")
    return 0


# ----------------------------------------------------------------------
# encode, decode


def _stdin_text() -> str:
    raw = sys.stdin.buffer.read()
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        raise OvilexError(f"standard input is not UTF-8 text (line {line}, "
                          f"byte 0x{raw[e.start]:02x})") from None


def encode(args: argparse.Namespace) -> int:
    tokenizer = Tokenizer.load(args.workdir)
    ids = tokenizer.encode(_stdin_text())
    sys.stdout.write(" ".join(map(str, ids)) + "\n")
    return 0


def decode(args: argparse.Namespace) -> int:
    tokenizer = Tokenizer.load(args.workdir)
    words = _stdin_text().split()
    ids = []
    for word in words:
        if not (word.isascii() and word.isdigit()):
            raise OvilexError(f"standard input: expected token ids (integers 0 or more), "
                              f"found {word[:40]!r}")
        ids.append(int(word))
    for token_id in set(ids):
        try:
            tokenizer.id_to_bytes(token_id)
        except KeyError:
            raise OvilexError(f"unknown token id {token_id} "
                              f"(not in {pathlib.Path(args.workdir) / RECORD_DIR / VOCAB_LIST})"
                              ) from None
    try:
        text = tokenizer.decode(ids)
    except ValueError as e:
        raise OvilexError(f"the ids do not make UTF-8 text: {e}") from None
    sys.stdout.buffer.write(text.encode("utf-8"))
    return 0


# ----------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="ovilex", description="A byte-level BPE tokenizer: train merges on "
                   "text files, encode text to token ids, decode ids back to text.")
    commands = main.add_subparsers(title="commands", dest="command", required=True,
                                   parser_class=_Parser)
    workdir = argparse.ArgumentParser(add_help=False)
    workdir.add_argument("--workdir", type=pathlib.Path, default=pathlib.Path("."),
                         metavar="DIR", help="the directory whose data/ holds the record "
                         "files merges_record.json and vocab_list.json (default: .)")

    t = commands.add_parser(
        "train", parents=[workdir], help="learn merges from text files",
        description="Learn merges from UTF-8 text files and write the record files into "
        "DIR/data; then print a summary. Without files, train on the Python sources of this "
        "interpreter's standard library. On a terminal, reading and splitting show a progress "
        "bar (with tqdm, when installed).")
    t.add_argument("files", nargs="*", type=pathlib.Path, metavar="FILE",
                   help="UTF-8 text files (default: the standard library sources)")
    t.add_argument("--jobs", type=_positive, default=0, metavar="N",
                   help="threads that split and count the text (default: one per usable "
                   "processor)")
    t.add_argument("--timings-json", type=pathlib.Path, metavar="FILE",
                   help="also write the counts and stage timings as JSON to FILE")
    t.set_defaults(run=train)

    e = commands.add_parser(
        "encode", parents=[workdir], help="text on standard input to token ids",
        description="Read UTF-8 text on standard input and write its token ids, separated by "
        "spaces, as one line on standard output.")
    e.set_defaults(run=encode)

    d = commands.add_parser(
        "decode", parents=[workdir], help="token ids on standard input to text",
        description="Read token ids separated by whitespace on standard input and write the "
        "text they stand for on standard output.")
    d.set_defaults(run=decode)
    return main


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number 1 or more, found {text!r}")
    return value


def _fail(message: str) -> int:
    print(f"ovilex: error: {message}", file=sys.stderr, flush=True)
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return int(args.run(args))
    except OvilexError as e:
        return _fail(str(e))
    except FileNotFoundError as e:
        return _fail(f"no such file: {e.filename}" if e.filename else str(e))
    except BrokenPipeError:
        # The reader went away: nothing more to say, and nothing to flush.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as e:
        return _fail(f"cannot read {e.filename}: {e.strerror}" if e.filename else str(e))
    except ImportError as e:
        return _fail(f"cannot load the native module _ovilex: {e}")
    except KeyboardInterrupt:
        print("ovilex: interrupted", file=sys.stderr)
        return 130
