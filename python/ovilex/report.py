"""The training report: ``python -m ovilex report``.

``write_report(workdir, corpus, out)`` measures the tokenizer trained in
workdir on corpus files and writes one self-contained HTML page: how many
bytes a token holds for every prefix of the merge list (to choose a
vocabulary size), the lengths of the tokens, the most frequent tokens and
the first merges. The plots are made with matplotlib and embedded as PNG
data URIs; the page loads nothing else.

The corpus is read in blocks, cut where splitting is unaffected, and encoded
in batches with
``encode_batch_array``; the compression curve encodes a sample of those
blocks, spread evenly over the corpus, once for every prefix measured.
"""

from __future__ import annotations

import base64
import html
import io
import math
import os
import pathlib
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from . import _native
from .errors import OvilexError, SourceError
from .staging import write_text
from .tokenizer import Merge, Tokenizer

__all__ = ["write_report"]

StrPath = str | os.PathLike[str]

BLOCK_BYTES = 256 << 10  # a block, as read
BATCH_BYTES = 16 << 20  # encoded at a time
SAMPLE_BYTES = 4 << 20  # the most the compression curve is measured on
POINTS = 30  # merge-list prefixes measured
TOP = 50  # rows of the frequent-token and merge tables


@dataclass
class Corpus:
    """What the full tokenizer does on the corpus, and the sample kept for
    the compression curve."""

    bytes: int
    counts: Any  # numpy array: uses of every id
    sample: list[str]
    sample_bytes: int

    @property
    def tokens(self) -> int:
        return int(self.counts.sum())


def _blocks(path: pathlib.Path, pattern: str) -> Iterator[tuple[str, int]]:
    """The text of a UTF-8 file in blocks that split as the whole file does
    under the split pattern, with their sizes in bytes."""
    line, carry = 1, b""
    with open(path, "rb") as f:
        while True:
            raw = f.read(BLOCK_BYTES)
            data = carry + raw
            # Cut where splitting the two sides apart gives the chunks of
            # the whole, so that the blocks encode as the file does.
            end = _native.last_safe_cut(data, pattern=pattern) if raw else len(data)
            piece, carry = data[:end], data[end:]
            try:
                text = piece.decode("utf-8")
            except UnicodeDecodeError as e:
                at = line + piece.count(b"\n", 0, e.start)
                raise SourceError(f"{path}: not UTF-8 text (line {at}, byte "
                                  f"0x{piece[e.start]:02x})") from None
            line += piece.count(b"\n")
            if text:
                yield text, len(piece)
            if not raw:
                return


def _read(tok: Tokenizer, paths: Sequence[pathlib.Path], sample_bytes: int) -> Corpus:
    import numpy as np

    total = sum(p.stat().st_size for p in paths)
    every = max(1, math.ceil(total / sample_bytes))
    corpus = Corpus(0, np.zeros(max(tok.vocab) + 1, np.int64), [], 0)  # by id
    batch: list[str] = []
    batch_bytes = 0

    def encode() -> None:
        ids, _ = tok.encode_batch_array(batch)  # array('H') or array('I')
        corpus.counts += np.bincount(np.frombuffer(ids, ids.typecode),
                                     minlength=len(corpus.counts))
        batch.clear()

    index = 0
    for path in paths:
        for text, size in _blocks(path, tok.pattern):
            if index % every == 0:
                corpus.sample.append(text)
                corpus.sample_bytes += size
            index += 1
            corpus.bytes += size
            batch.append(text)
            batch_bytes += size
            if batch_bytes >= BATCH_BYTES:
                encode()
                batch_bytes = 0
    encode()
    if corpus.bytes == 0:
        raise OvilexError("no text in the corpus: "
                          + ("the file is empty" if len(paths) == 1
                             else f"the {len(paths)} files are empty"))
    return corpus


def prefixes(merges: int, points: int = POINTS) -> list[int]:
    """How many merges to measure with: from 0 to all of them, about
    points numbers, half spread log-wise (where compression changes
    fastest), half evenly."""
    half = points // 2
    spread = {round(merges ** (i / (half - 1))) for i in range(half)}
    even = {round(merges * i / half) for i in range(half + 1)}
    return sorted({0} | (spread if merges else set()) | even)


def prefix_tokenizer(merges: list[Merge], vocab: dict[int, bytes]) -> Tokenizer:
    """The tokenizer of some first merges of a vocabulary's: the single
    bytes and the tokens those merges make."""
    ids = [*range(256), *(new for _, new in merges)]
    return Tokenizer(merges, {i: vocab[i] for i in ids})


def curve(tok: Tokenizer, sample: list[str]) -> list[tuple[int, int]]:
    """(merges used, tokens of the sample) for every prefix measured."""
    merges, vocab = tok.merges, tok.vocab
    return [(k, len(prefix_tokenizer(merges[:k], vocab).encode_batch_array(sample)[0]))
            for k in prefixes(len(merges))]


# ----------------------------------------------------------------------
# The page


def token_html(data: bytes) -> str:
    """A token's bytes as HTML: its characters escaped, a space as a grey
    open box, characters that do not print and bytes that are not UTF-8 as
    marked Python escapes (\\n, \\u200b, \\xff); a backslash doubled."""
    parts = []
    for ch in data.decode("utf-8", "surrogateescape"):
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8
            parts.append(f'<span class="raw">\\x{code - 0xDC00:02x}</span>')
        elif ch == " ":
            parts.append('<span class="esc">\u2423</span>')
        elif ch == "\\":
            parts.append("\\\\")
        elif ch.isprintable():
            parts.append(html.escape(ch))
        else:
            parts.append(f'<span class="esc">{html.escape(repr(ch)[1:-1])}</span>')
    return f"<code>{''.join(parts)}</code>"


def _png(fig: Any) -> str:
    import matplotlib.pyplot as plt

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110, bbox_inches="tight")
    plt.close(fig)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _curve_plot(points: list[tuple[int, int]], sample_bytes: int) -> str:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.2))
    ax.plot([k for k, _ in points], [sample_bytes / t for _, t in points], "o-", color="#1f6fb4")
    ax.set_xlabel("merges used (vocabulary size - 256)")
    ax.set_ylabel("bytes per token")
    ax.set_title("Compression against the number of merges")
    ax.grid(True, alpha=0.3)
    return _png(fig)


def _lengths_plot(vocab_lengths: dict[int, int], used_lengths: dict[int, int]) -> str:
    import matplotlib.pyplot as plt

    shares = [{n: 100 * c / sum(lengths.values()) for n, c in lengths.items() if c}
              for lengths in (vocab_lengths, used_lengths)]
    # The lengths that hold a thousandth of either; the rest would not show.
    shown = max(n for share in shares for n, pct in share.items() if pct >= 0.1)
    xs = range(1, shown + 1)
    fig, ax = plt.subplots(figsize=(8, 4.2))
    for shift, (label, share, color) in enumerate(zip(
            ["vocabulary", "tokens on the corpus"], shares, ["#1f6fb4", "#e07b1a"])):
        ax.bar([x + (shift - 0.5) * 0.4 for x in xs], [share.get(x, 0) for x in xs], width=0.4,
               label=label, color=color)
    ax.set_xlabel("token length in bytes")
    ax.set_ylabel("% of tokens")
    ax.set_title(f"Token lengths (the longest token: {max(vocab_lengths)} bytes)")
    ax.legend()
    ax.grid(True, axis="y", alpha=0.3)
    return _png(fig)


def _table(ident: str, head: Iterable[str], rows: Iterable[Iterable[str]],
           numeric: set[int]) -> str:
    """An HTML table; head and cells are HTML already."""
    th = "".join(f"<th>{h}</th>" for h in head)
    body = "".join(
        "<tr>" + "".join(f'<td class="num">{c}</td>' if i in numeric else f"<td>{c}</td>"
                         for i, c in enumerate(row)) + "</tr>" for row in rows)
    return f'<table id="{ident}"><thead><tr>{th}</tr></thead><tbody>{body}</tbody></table>'


STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 60em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 2em; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: left; }
th { background: #eef2f7; } td.num { text-align: right; font-variant-numeric: tabular-nums; }
code { white-space: pre; background: #f6f6f6; padding: 0 0.2em; }
.esc { color: #888; } .raw { color: #b00; }
img { max-width: 100%; }
"""


def render(tok: Tokenizer, workdir: StrPath, paths: Sequence[pathlib.Path], corpus: Corpus,
           points: list[tuple[int, int]]) -> str:
    """The page, with every text that comes from the data escaped; also
    well-formed XML."""
    import numpy as np

    e = html.escape
    vocab = tok.vocab
    merges = tok.merges
    counts = corpus.counts
    vocab_lengths: dict[int, int] = {}
    used_lengths: dict[int, int] = {}
    for i, data in vocab.items():
        vocab_lengths[len(data)] = vocab_lengths.get(len(data), 0) + 1
        used_lengths[len(data)] = used_lengths.get(len(data), 0) + int(counts[i])
    used = counts.nonzero()[0]
    top = [int(i) for i in used[np.lexsort((used, -counts[used]))][:TOP]]  # uses, then id
    tokens = corpus.tokens
    sampled = ("the whole corpus" if corpus.sample_bytes == corpus.bytes else
               f"a sample of {corpus.sample_bytes:,} bytes: blocks of about "
               f"{BLOCK_BYTES >> 10} KiB taken evenly over the corpus")
    header = [
        ("workdir", e(os.fspath(workdir))),
        ("corpus", "<br/>".join(e(os.fspath(p)) for p in paths)),
        ("vocabulary size", f"{tok.vocab_size:,}"),
        ("merges", f"{len(merges):,}"),
        ("corpus bytes", f"{corpus.bytes:,}"),
        ("tokens", f"{tokens:,}"),
        ("bytes per token", f"{corpus.bytes / tokens:.3f}"),
    ]
    parts = [
        f"<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"/>"
        f"<title>ovilex training report: {e(os.fspath(workdir))}</title>"
        f"<style>{STYLE}</style></head><body>",
        "<h1>Training report</h1>",
        '<table id="summary">' + "".join(f"<tr><th>{n}</th><td>{v}</td></tr>"
                                         for n, v in header) + "</table>",
        "<h2>Compression</h2>",
        f"<p>Bytes per token when only the first merges are used, measured on {sampled}. "
        f"The corpus is read in blocks cut where splitting is unaffected, so its tokens "
        f"are those of each file encoded whole.</p>",
        f'<img alt="bytes per token against merges used" '
        f'src="{_curve_plot(points, corpus.sample_bytes)}"/>',
        _table("curve", ["merges", "vocabulary size", "tokens", "bytes per token"],
               ([f"{k:,}", f"{256 + k:,}", f"{t:,}", f"{corpus.sample_bytes / t:.3f}"]
                for k, t in points), {0, 1, 2, 3}),
        "<h2>Token lengths</h2>",
        "<p>The length in bytes of every token of the vocabulary, and of every token "
        "the corpus is encoded into.</p>",
        f'<img alt="token lengths" src="{_lengths_plot(vocab_lengths, used_lengths)}"/>',
        f"<h2>The {len(top)} most frequent tokens on the corpus</h2>",
        _table("frequent", ["rank", "id", "token", "bytes", "uses", "% of tokens"],
               ([f"{r}", f"{i}", token_html(vocab[i]), f"{len(vocab[i])}", f"{counts[i]:,}",
                 f"{100 * counts[i] / tokens:.2f}"] for r, i in enumerate(top, 1)),
               {0, 1, 3, 4, 5}),
        f"<h2>The first {min(TOP, len(merges))} merges</h2>",
        _table("merges", ["rank", "left", "right", "new id", "token"],
               ([f"{r}", token_html(vocab[left]), token_html(vocab[right]), f"{new}",
                 token_html(vocab[new])] for r, ((left, right), new) in enumerate(merges[:TOP], 1)),
               {0, 3}),
        "</body></html>\n",
    ]
    return "\n".join(parts)


def write_report(workdir: StrPath, corpus: Iterable[StrPath], out: StrPath, *,
                 sample_bytes: int = SAMPLE_BYTES) -> None:
    """Writes the report of the tokenizer trained in workdir, measured on
    the corpus files, to out (through a temporary file beside it, renamed
    into place). Raises RecordError for missing or damaged records,
    SourceError for a file that is not UTF-8, OvilexError for an empty
    corpus or a missing matplotlib, OSError for files that cannot be read or
    written."""
    try:
        import matplotlib

        matplotlib.use("Agg")
    except ImportError as error:
        raise OvilexError(f"the report needs matplotlib: {error}") from None
    tok = Tokenizer.load(workdir)
    paths = [pathlib.Path(p) for p in corpus]
    measured = _read(tok, paths, sample_bytes)
    page = render(tok, workdir, paths, measured, curve(tok, measured.sample))
    out = pathlib.Path(out)
    # A file name that is not UTF-8 shows as escapes.
    write_text(out, page, errors="backslashreplace")
