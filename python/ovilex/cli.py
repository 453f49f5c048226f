"""The command line: ``ovilex train|count|encode|decode|count-tokens|export|report``, the
command that ``pip install`` makes (``python -m ovilex`` runs the same).

    python -m ovilex train [FILE]... [--workdir DIR] [--jobs N | --dask ADDRESS]
                           [--timings-json FILE] [--special-token TEXT]...
                           [--vocab-size N] [--min-frequency F] [--max-token-length L]
    python -m ovilex train --counts COUNTS... [--workdir DIR] [--timings-json FILE]
                           [--special-token TEXT]... [--vocab-size N] ...
    python -m ovilex count FILE... --out COUNTS [--jobs N | --dask ADDRESS]
    python -m ovilex encode [--workdir DIR] [--allowed-special TEXT|all]...  < text  > ids
    python -m ovilex encode FILE... --out DIR [--workdir DIR] [--jsonl FIELD] [--eot ID|TEXT]
                                             [--jobs N | --dask ADDRESS]
                                             [--progress bar|json|none]
    python -m ovilex decode [--workdir DIR]  < ids   > text
    python -m ovilex count-tokens FILE... [--workdir DIR] [--jobs N] [--jsonl FIELD]
    python -m ovilex export [--workdir DIR] --format hf|tiktoken --out FILE [--name NAME]
    python -m ovilex report [--workdir DIR] --corpus FILE [--corpus FILE]... --out HTML

A mistake of the user (a missing or unreadable file, text that is not UTF-8,
an empty corpus, a malformed record file, a bad or unknown id) ends the
command with one line "ovilex: error: ..." on standard error and exit
status 1; a wrong option gives the usage line and status 2.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import pathlib
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from . import _native
from . import export as formats
from .counting import count_text_files
from .errors import OvilexError
from .jsonl import batches, raise_lone_surrogate
from .records import RECORD_DIR, VOCAB_LIST
from .report import write_report
from .shards import Progress, write_shards
from .sources import default_files
from .tokenizer import (DEFAULT_MIN_FREQUENCY, DEFAULT_VOCAB_SIZE, Tokenizer, Training, WordCounts,
                        train_checked)

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


def _count_text(files: Sequence[pathlib.Path], jobs: int, errors: str = "strict",
                dask: str | None = None) -> tuple[WordCounts, tuple[str, str], float]:
    """The counts of the files, read and split on jobs threads (or by the
    workers of the Dask scheduler at dask) with a progress bar on a
    terminal; the summary row of that and its seconds."""
    total = sum(_check_files(files))
    bar = _progress_bar(total, "reading and splitting")
    update: Callable[[int], None] | None = bar.update if bar is not None else None
    start = time.perf_counter()
    try:
        counts, where = count_text_files(files, threads=jobs, errors=errors, progress=update,
                                         dask=dask)
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - start
    return counts, ("reading and splitting",
                    f"{seconds:.2f} s ({total / MB / seconds:.0f} MB/s, {where})"), seconds


# What train learns from: the counts, the summary rows that say where they
# came from and how long reading them took, and the timings that go with.
Gathered = tuple[WordCounts, tuple[str, str], tuple[str, str], dict[str, Any]]


def _from_text(args: argparse.Namespace) -> Gathered:
    builtin = not args.files
    files: list[pathlib.Path] = default_files() if builtin else args.files
    if builtin and not files:
        raise OvilexError("no Python sources found for the built-in corpus")
    jobs = args.jobs or _native.usable_processors()
    # The built-in corpus is not the user's: a stray non-UTF-8 byte in it
    # becomes U+FFFD rather than an error.
    counts, reading, seconds = _count_text(files, jobs, "replace" if builtin else "strict",
                                           args.dask)
    if counts.distinct == 0:
        what = "file is" if len(files) == 1 else f"{len(files)} files are"
        raise OvilexError(f"no text to train on: the {what} empty")
    source = (f" (the standard library of Python {sys.version.split()[0]})" if builtin else "")
    return counts, ("files", f"{len(files)}{source}"), reading, {
        "files": len(files), "threads": jobs, "read_split_seconds": seconds}


def _from_count_files(paths: Sequence[pathlib.Path]) -> Gathered:
    for path in paths:
        if not path.exists():
            raise OvilexError(f"no such file: {path}")
    start = time.perf_counter()
    counts = WordCounts()
    counts.add_count_files([os.fspath(p) for p in paths])
    seconds = time.perf_counter() - start
    if counts.distinct == 0:
        what = "count file holds" if len(paths) == 1 else f"{len(paths)} count files hold"
        raise OvilexError(f"no text to train on: the {what} no chunks")
    return (counts, ("count files", f"{len(paths)}"), ("reading count files", f"{seconds:.2f} s"),
            {"count_files": len(paths), "read_seconds": seconds})


def _training(args: argparse.Namespace) -> Training:
    """The settings of train, checked before any work; a bad one is named
    by its option."""
    settings = {"vocab_size": args.vocab_size, "min_frequency": args.min_frequency,
                "max_token_length": args.max_token_length}
    for name, value in settings.items():
        try:
            Training.checked(**{name: value})
        except ValueError as e:
            raise OvilexError(f"--{name.replace('_', '-')}: {e}") from None
    try:
        return Training.checked(args.special_token, **settings)
    except ValueError as e:
        raise OvilexError(f"--special-token: {e}") from None


def train(args: argparse.Namespace) -> int:
    training = _training(args)
    specials = training.special_tokens
    if args.counts and args.dask:
        parser().error("--dask counts text files; count files (--counts) are read here")
    gather = _from_count_files(args.counts) if args.counts else _from_text(args)
    counts, source_row, reading_row, report = gather
    chunks = counts.chunks
    _note(f"training on {chunks:,} chunks ({counts.distinct:,} distinct)")
    start = time.perf_counter()
    # The check comes with training: every distinct chunk's final ids from
    # the merge loop decoded back to it, and the encoder held to those ids
    # on a sample (Tokenizer.check_round_trip encodes them all again).
    tokenizer, (tokens, nbytes, round_trip) = train_checked(Tokenizer, counts, args.workdir,
                                                           check=True, training=training)
    train_seconds = time.perf_counter() - start

    merges = tokenizer.merges
    records = (pathlib.Path(args.workdir).resolve() / RECORD_DIR)
    print(_table([
        source_row,
        ("text", f"{nbytes / MB:.1f} MB"),
        ("chunks", f"{chunks:,}"),
        ("distinct chunks", f"{counts.distinct:,}"),
        ("merges", f"{len(merges)}" + (f" (ids 256 to {merges[-1][1]})" if merges else "")),
        *([("special tokens", f"{len(specials)} (ids {min(tokenizer.special_tokens.values())} "
            f"to {max(tokenizer.special_tokens.values())})")] if specials else []),
        reading_row,
        ("training", f"{train_seconds:.2f} s (with the check: every distinct chunk's tokens "
                     "decoded back, the encoder compared on a sample)"),
        ("tokens", f"{tokens:,} ({nbytes / tokens:.2f} bytes per token)"),
        ("round trip", "ok" if round_trip else "MISMATCH"),
        ("records", f"{records}"),
    ]), flush=True)

    if args.timings_json is not None:
        report |= {
            "bytes": nbytes, "chunks": chunks, "distinct_chunks": counts.distinct,
            "merges": len(merges), "train_seconds": train_seconds, "tokens": tokens,
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
# count


def _check_output(out: pathlib.Path) -> None:
    """OvilexError, before any work, for an output file that could not be
    written: a directory, or one in a directory that does not exist."""
    if out.is_dir():
        raise OvilexError(f"cannot write {out}: {os.strerror(errno.EISDIR)}")
    if not out.parent.is_dir():
        raise OvilexError(f"cannot write {out}: {os.strerror(errno.ENOENT)}")


def count(args: argparse.Namespace) -> int:
    _check_output(args.out)
    jobs = args.jobs or _native.usable_processors()
    counts, reading, _ = _count_text(args.files, jobs, dask=args.dask)
    counts.save(args.out)
    print(_table([
        ("files", f"{len(args.files)}"),
        ("chunks", f"{counts.chunks:,}"),
        ("distinct chunks", f"{counts.distinct:,}"),
        reading,
        ("count file", f"{args.out} ({args.out.stat().st_size / MB:.1f} MB)"),
    ]), flush=True)
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
    if args.out is not None:
        return _encode_files(args)
    # Standard input to standard output; files and the options of shards
    # need --out.
    if args.files:
        parser().error("files to encode need --out DIR (without files, encode reads "
                       "standard input)")
    for option in ("jsonl", "eot", "jobs", "progress", "dask"):
        if getattr(args, option) is not None:
            parser().error(f"--{option} needs --out DIR")
    tokenizer = Tokenizer.load(args.workdir)
    allowed = args.allowed_special or []
    for text in allowed:
        if text != "all" and text not in tokenizer.special_tokens:
            raise OvilexError(f"--allowed-special: {text!r} is not a special token of the "
                              f"tokenizer in {args.workdir}")
    ids = tokenizer.encode(_stdin_text(), allowed_special="all" if "all" in allowed else allowed)
    sys.stdout.write(" ".join(map(str, ids)) + "\n")
    return 0


def _encode_files(args: argparse.Namespace) -> int:
    if not args.files:
        parser().error("--out needs files to encode")
    if args.allowed_special:
        parser().error("--allowed-special applies to standard input, not to files with --out")
    files = [pathlib.Path(f) for f in args.files]
    report, bar = _shard_progress(args.progress, files)
    try:
        shards = write_shards(files, args.out, workdir=args.workdir, jsonl_field=args.jsonl,
                              eot=args.eot, threads=args.jobs, progress=report, dask=args.dask)
    finally:
        if bar is not None:
            bar.close()
    for shard in shards:
        _note(f"{shard.bin}: {shard.tokens:,} tokens, {shard.documents:,} "
              f"document{'s' if shard.documents != 1 else ''}")
    return 0


def _shard_progress(mode: str | None, files: Sequence[pathlib.Path]
                    ) -> tuple[Callable[[Progress], None] | None, Any]:
    """The progress callback of --progress MODE, and the bar it moves (to be
    closed), if any."""
    if mode == "json":
        return _json_progress(), None
    bar = _progress_bar(sum(_check_files(files)), "encoding") if mode != "none" else None
    if bar is None:
        return None, None
    done: dict[str, int] = {}

    def advance(p: Progress) -> None:
        bar.update(p.bytes_done - done.get(p.file, 0))
        done[p.file] = p.bytes_done

    return advance, bar


def _json_progress(every: float = 1.0) -> Callable[[Progress], None]:
    """Progress records as lines of JSON on standard error: at most one
    every so many seconds, and the last of every file."""
    last = float("-inf")

    def report(p: Progress) -> None:
        nonlocal last
        now = time.monotonic()
        if p.done or now - last >= every:
            last = now
            print(json.dumps(p._asdict()), file=sys.stderr, flush=True)

    return report


def _token(text: str) -> int | str:
    """A token named on the command line: its id, or a special token's text."""
    try:
        return int(text)
    except ValueError:
        return text


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
# count-tokens


def count_tokens(args: argparse.Namespace) -> int:
    files = [pathlib.Path(f) for f in args.files]
    _check_files(files)
    tokenizer = Tokenizer.load(args.workdir)
    if args.jsonl is None:
        counts = tokenizer.count_in_files(files, threads=args.jobs)
    else:
        counts = [_count_jsonl(tokenizer, f, args.jsonl, args.jobs) for f in files]
    for n, path in zip(counts, files):
        print(f"{n} {path}")
    if len(files) > 1:
        print(f"{sum(counts)} total")
    return 0


def _count_jsonl(tokenizer: Tokenizer, path: pathlib.Path, field: str,
                 threads: int | None) -> int:
    """The tokens of the documents in field of every line of path, as
    encode --jsonl takes them (without --eot)."""
    total = 0
    for batch in batches(path, field):
        try:
            total += sum(tokenizer.count_batch(batch.texts, threads=threads))
        except UnicodeEncodeError:
            raise_lone_surrogate(batch.texts, batch.lines, path, field)
            raise
    return total


def export(args: argparse.Namespace) -> int:
    tokenizer = Tokenizer.load(args.workdir)
    _check_output(args.out)
    if args.format == "hf":
        formats.save_hf(tokenizer, args.out)
        _note(f"wrote {args.out}: tokenizers.Tokenizer.from_file({str(args.out)!r})")
    else:
        formats.save_tiktoken(tokenizer, args.out, name=args.name)
        _note(f"wrote {args.out} and {args.out}.json: tiktoken.Encoding(mergeable_ranks="
              f"tiktoken.load.load_tiktoken_bpe({str(args.out)!r}), "
              f"**json.load(open({str(args.out) + '.json'!r})))")
    return 0


def report(args: argparse.Namespace) -> int:
    _check_files(args.corpus)
    _check_output(args.out)
    write_report(args.workdir, args.corpus, args.out)
    _note(f"wrote {args.out}")
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
    jobs = argparse.ArgumentParser(add_help=False)
    jobs.add_argument("--jobs", type=_positive, default=0, metavar="N",
                      help="threads that split and count the text (default: one per usable "
                      "processor)")
    dask = argparse.ArgumentParser(add_help=False)
    dask.add_argument("--dask", metavar="ADDRESS",
                      help="run the work on the workers of the Dask scheduler at ADDRESS "
                      "(such as tcp://10.0.0.1:8786), which must see the files at the same "
                      "paths; the results are the same as those of a local run")

    t = commands.add_parser(
        "train", parents=[workdir, jobs, dask], help="learn merges from text files",
        description="Learn merges from UTF-8 text files, or from the sum of count files (see "
        "count), and write the record files into DIR/data; then print a summary. Without "
        "files, train on the Python sources of this interpreter's standard library. On a "
        "terminal, reading and splitting show a progress bar (with tqdm, when installed).")
    sources = t.add_mutually_exclusive_group()
    sources.add_argument("files", nargs="*", default=[], type=pathlib.Path, metavar="FILE",
                         help="UTF-8 text files (default: the standard library sources)")
    sources.add_argument("--counts", nargs="+", type=pathlib.Path, metavar="COUNTS",
                         help="count files made by count, instead of text files: the merges "
                         "are those of training on all the text they were counted from")
    t.add_argument("--timings-json", type=pathlib.Path, metavar="FILE",
                   help="also write the counts and stage timings as JSON to FILE")
    t.add_argument("--special-token", action="append", metavar="TEXT",
                   help="a special token (repeatable): TEXT gets an id of its own above the "
                   "learned ones, in the order given, kept in DIR/data/special_tokens.json")
    t.add_argument("--vocab-size", type=int, default=DEFAULT_VOCAB_SIZE, metavar="N",
                   help="learn N ids, the 256 bytes and the merges (default: %(default)s; fewer "
                   "when the text runs out of pairs)")
    t.add_argument("--min-frequency", type=int, default=DEFAULT_MIN_FREQUENCY, metavar="F",
                   help="merge no pair seen fewer than F times (default: %(default)s)")
    t.add_argument("--max-token-length", type=int, metavar="L",
                   help="learn no token longer than L bytes (default: no limit)")
    t.set_defaults(run=train)

    c = commands.add_parser(
        "count", parents=[jobs, dask], help="count the chunks of text files into a count file",
        description="Split UTF-8 text files, each on its own as train does, and write every "
        "distinct chunk and how often it occurs to a count file; then print a summary. "
        "train --counts learns from the sum of count files. On a terminal, reading and "
        "splitting show a progress bar (with tqdm, when installed).")
    c.add_argument("files", nargs="+", type=pathlib.Path, metavar="FILE",
                   help="UTF-8 text files")
    c.add_argument("--out", type=pathlib.Path, required=True, metavar="COUNTS",
                   help="the count file to write (replaced whole, or left as it was on an "
                   "error)")
    c.set_defaults(run=count)

    e = commands.add_parser(
        "encode", parents=[workdir, dask], help="text to token ids: standard input to standard "
        "output, or files to token shards",
        description="Read UTF-8 text on standard input and write its token ids, separated by "
        "spaces, as one line on standard output. With --out DIR, write for every FILE "
        "NAME.ext DIR/NAME.bin, its ids as little-endian uint16 (DIR/NAME.bin32 and uint32 "
        "when the tokenizer has ids above 65535; an earlier run's data file of the other width "
        "is removed), and DIR/NAME.idx, the end of every document in tokens as little-endian "
        "uint64; a file is one document unless "
        "--jsonl is given. Files are read in blocks and encoded on all cores; no shard appears "
        "under its name before all are complete. On a terminal, a progress bar shows (with "
        "tqdm, when installed).")
    e.add_argument("files", nargs="*", metavar="FILE", help="UTF-8 text files (with --out)")
    e.add_argument("--out", type=pathlib.Path, metavar="DIR",
                   help="write the shards of the files into DIR (made if missing)")
    e.add_argument("--jsonl", metavar="FIELD",
                   help="a document per line: the string in FIELD of the line's JSON object "
                   "(blank lines are skipped)")
    e.add_argument("--eot", type=_token, metavar="ID|TEXT",
                   help="write token ID, or the special token TEXT, after every document")
    e.add_argument("--allowed-special", action="append", metavar="TEXT",
                   help="on standard input, encode the special token TEXT as its id "
                   "(repeatable; 'all' for every one); otherwise its text is ordinary text")
    e.add_argument("--jobs", type=_positive, metavar="N",
                   help="threads that encode (default: one per usable processor)")
    e.add_argument("--progress", choices=("bar", "json", "none"),
                   help="bar: a progress bar on a terminal (the default); json: progress "
                   "records as lines of JSON on standard error, at most one a second and the "
                   "last of every file")
    e.set_defaults(run=encode)

    d = commands.add_parser(
        "decode", parents=[workdir], help="token ids on standard input to text",
        description="Read token ids separated by whitespace on standard input and write the "
        "text they stand for on standard output.")
    d.set_defaults(run=decode)

    n = commands.add_parser(
        "count-tokens", parents=[workdir], help="the number of token ids of text files",
        description="Count the token ids that encode --out would write for every UTF-8 text "
        "FILE (without --eot), making none: one line COUNT FILE each, then COUNT total when "
        "there is more than one file. Files are read in blocks, as encode --out reads them, "
        "and counted on all cores.")
    n.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 text files")
    n.add_argument("--jsonl", metavar="FIELD",
                   help="a document per line: the string in FIELD of the line's JSON object "
                   "(blank lines are skipped)")
    n.add_argument("--jobs", type=_positive, metavar="N",
                   help="threads that count (default: one per usable processor)")
    n.set_defaults(run=count_tokens)

    x = commands.add_parser(
        "export", parents=[workdir], help="write the tokenizer for another library",
        description="Write the tokenizer trained in DIR for Hugging Face tokenizers (hf: a "
        "tokenizer.json for tokenizers.Tokenizer.from_file) or tiktoken (tiktoken: the rank "
        "file that tiktoken.load.load_tiktoken_bpe reads, and OUT.json beside it with the "
        "name, the split pattern and the special tokens that tiktoken.Encoding takes). Both "
        "give the ids of ovilex for any text, special tokens included.")
    x.add_argument("--format", choices=("hf", "tiktoken"), required=True)
    x.add_argument("--out", type=pathlib.Path, required=True, metavar="FILE",
                   help="the file to write (replaced whole, or left as it was on an error)")
    x.add_argument("--name", default="ovilex", help="tiktoken: the encoding's name "
                   "(default: ovilex)")
    x.set_defaults(run=export)

    r = commands.add_parser(
        "report", parents=[workdir], help="an HTML page on the trained tokenizer",
        description="Measure the tokenizer trained in DIR on corpus files and write one "
        "self-contained HTML page: bytes per token against the number of merges used (to "
        "choose a vocabulary size), token lengths, the most frequent tokens and the first "
        "merges. Needs matplotlib.")
    r.add_argument("--corpus", action="append", required=True, type=pathlib.Path,
                   metavar="FILE", help="a UTF-8 text file to measure on (repeatable)")
    r.add_argument("--out", type=pathlib.Path, required=True, metavar="HTML",
                   help="the page to write (replaced whole, or left as it was on an error)")
    r.set_defaults(run=report)
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
