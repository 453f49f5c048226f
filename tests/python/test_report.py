"""python -m ovilex report: the page's numbers against independent counts,
escaping, the error lines, and a rendering in a headless browser."""

import base64
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from collections import Counter

import pytest

import reference
from ovilex import Tokenizer, report, split
from wide import wide_tokenizer

pytest.importorskip("matplotlib")
pytestmark = pytest.mark.foreign_leaks

TEXTS = {
    "a.txt": 'The quick <script>alert(1)</script> fox &amp; "quoted" café\n' * 40,
    "b.txt": "Москва 😀😀 日本語 \u202e\\x41 tab\there\x00\n" * 30 + "no newline",
}
NBYTES = sum(len(t.encode()) for t in TEXTS.values())
HOSTILE_DIR = 'wd<b>&"x'


def run(env, cwd, *args):
    return subprocess.run([sys.executable, "-m", "ovilex", "report", *args], cwd=cwd, env=env,
                          capture_output=True, timeout=300)


def parse(text):
    """The page read as XML, as it is written: its root, and its tables by
    id as rows of cell texts."""
    root = ET.fromstring(text.removeprefix("<!DOCTYPE html>"))
    return root, {t.get("id"): [["".join(c.itertext()) for c in tr] for tr in t.iter("tr")]
                  for t in root.iter("table")}


def number(cell):
    return int(cell.replace(",", ""))


def shown(data):
    """A token of printable ASCII as the page shows it."""
    return data.decode().replace(" ", "\u2423")


@pytest.fixture(scope="module")
def made(tmp_path_factory, package_env):
    """(directory, page, tokenizer): TEXTS trained in HOSTILE_DIR, reported on."""
    top = tmp_path_factory.mktemp("report")
    for name, text in TEXTS.items():
        (top / name).write_text(text, encoding="utf-8")
    tok = Tokenizer.train([top / name for name in TEXTS], workdir=top / HOSTILE_DIR)
    done = run(package_env, top, "--workdir", HOSTILE_DIR, "--corpus", "a.txt", "--corpus",
               "b.txt", "--out", "report.html")
    assert (done.returncode, done.stderr) == (0, b"")
    return top, (top / "report.html").read_text(encoding="utf-8"), tok


def test_summary_and_curve_match_an_independent_count(made):
    _, text, tok = made
    root, tables = parse(text)
    merges = tok.merges
    tokens = sum(len(tok.encode(t)) for t in TEXTS.values())
    assert dict(tables["summary"]) == {
        "workdir": HOSTILE_DIR, "corpus": "a.txtb.txt", "vocabulary size": f"{tok.vocab_size:,}",
        "merges": f"{len(merges):,}", "corpus bytes": f"{NBYTES:,}", "tokens": f"{tokens:,}",
        "bytes per token": f"{NBYTES / tokens:.3f}"}
    assert root.find("head/title").text == f"ovilex training report: {HOSTILE_DIR}"
    rows = tables["curve"][1:]
    assert [number(r[0]) for r in rows] == report.prefixes(len(merges))
    assert rows[0][0] == "0" and number(rows[-1][0]) == len(merges) and len(rows) >= 20
    chunks = [c for t in TEXTS.values() for c in split(t)]
    for k, size, count, per_token in rows:
        expected = len(reference.encode(chunks, merges[:number(k)]))
        assert [number(size), number(count), per_token] == [
            256 + number(k), expected, f"{NBYTES / expected:.3f}"]


def test_frequent_tokens_and_first_merges(made):
    _, text, tok = made
    _, tables = parse(text)
    uses = Counter(i for t in TEXTS.values() for i in tok.encode(t))
    top = sorted(uses, key=lambda i: (-uses[i], i))[:50]
    vocab = tok.vocab
    assert [r[:2] + r[3:] for r in tables["frequent"][1:]] == [
        [f"{n}", f"{i}", f"{len(vocab[i])}", f"{uses[i]:,}", f"{100 * uses[i] / uses.total():.2f}"]
        for n, i in enumerate(top, 1)]
    plain = {i for i, b in vocab.items() if b.isascii() and b.decode().isprintable()
             and b"\\" not in b}
    for row, i in zip(tables["frequent"][1:], top):
        assert i not in plain or row[2] == shown(vocab[i])
    assert [r[3] for r in tables["merges"][1:]] == [f"{new}" for _, new in tok.merges[:50]]
    for row, ((left, right), new) in zip(tables["merges"][1:], tok.merges):
        assert not {left, right} <= plain or \
            row[1:3] + row[4:] == [shown(vocab[i]) for i in (left, right, new)]


def test_uses_are_counted_by_id_past_65535(tmp_path):
    tok = wide_tokenizer()
    paths = []
    for name, text in TEXTS.items():
        paths.append(tmp_path / name)
        paths[-1].write_text(text, encoding="utf-8")
    corpus = report._read(tok, paths, report.SAMPLE_BYTES)
    uses = Counter(i for t in TEXTS.values() for i in tok.encode(t))
    assert max(uses) > 0xFFFF
    assert {i: int(n) for i, n in enumerate(corpus.counts) if n} == dict(uses)
    _, tables = parse(report.render(tok, "wd", paths, corpus, [(0, NBYTES)]))
    top = sorted(uses, key=lambda i: (-uses[i], i))[:50]
    assert [(number(r[1]), number(r[4])) for r in tables["frequent"][1:]] == \
        [(i, uses[i]) for i in top]


@pytest.mark.parametrize("data, html", [
    (b"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"),
    (b'"&amp;\'', "&quot;&amp;amp;&#x27;"),
    (b" a\n\t\x00", '<span class="esc">\u2423</span>a<span class="esc">\\n</span>'
                    '<span class="esc">\\t</span><span class="esc">\\x00</span>'),
    (b"\xf0\x9f", '<span class="raw">\\xf0</span><span class="raw">\\x9f</span>'),
    (b"\\xf0\xc3\xa9\xff", '\\\\xf0é<span class="raw">\\xff</span>'),
    ("\u202e\u200b".encode(), '<span class="esc">\\u202e</span><span class="esc">\\u200b</span>'),
])
def test_token_text_is_escaped_and_readable(data, html):
    assert report.token_html(data) == f"<code>{html}</code>"


def test_page_holds_only_its_own_markup_and_png_images(made):
    root, _ = parse(made[1])
    assert {e.tag for e in root.iter()} <= {
        "html", "head", "meta", "title", "style", "body", "h1", "h2", "p", "table", "thead",
        "tbody", "tr", "th", "td", "img", "code", "span", "br"}
    images = list(root.iter("img"))
    assert len(images) == 2 and all(set(i.attrib) == {"alt", "src"} for i in images)
    for image in images:
        head, _, data = image.get("src").partition(",")
        assert head == "data:image/png;base64"
        assert base64.b64decode(data, validate=True).startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.parametrize("block, sampled", [
    (5, range(250, 750)),  # about 500 bytes in blocks of a few
    # b.txt up to its last safe cut, before the space that leads the last word
    (1 << 18, [len(TEXTS["b.txt"].removesuffix(" newline").encode())]),
])
def test_blocks_lose_nothing_and_the_sample_says_what_it_holds(made, tmp_path, monkeypatch,
                                                               block, sampled):
    top = made[0]
    monkeypatch.setattr(report, "BLOCK_BYTES", block)
    out = tmp_path / "r.html"
    report.write_report(top / HOSTILE_DIR, [top / "b.txt", top / "a.txt"], out, sample_bytes=500)
    _, tables = parse(out.read_text())
    assert dict(tables["summary"])["corpus bytes"] == f"{NBYTES:,}"
    tokens = tables["curve"][1][2]  # at 0 merges: one per byte
    assert number(tokens) in sampled
    assert f"measured on a sample of {tokens} bytes" in out.read_text()


@pytest.mark.parametrize("args, files, error", [
    (["--workdir", "none", "--corpus", "a.txt"], {"a.txt": b"x"},
     "no such file: none/data/merges_record.json"),
    (["--corpus", "missing.txt"], {}, "no such file: missing.txt"),
    (["--corpus", "d"], {"d/x": b""}, "d is a directory, not a text file"),
    (["--corpus", "a.txt", "--corpus", "bad.txt"], {"a.txt": b"ok\n", "bad.txt": b"a\nb\xff\n"},
     "bad.txt: not UTF-8 text (line 2, byte 0xff)"),
    (["--corpus", "bad.txt"], {"bad.txt": b"cut \xe2\x82"},
     "bad.txt: not UTF-8 text (line 1, byte 0xe2)"),
    (["--corpus", "e.txt"], {"e.txt": b""}, "no text in the corpus: the file is empty"),
    (["--corpus", "e.txt", "--corpus", "f.txt"], {"e.txt": b"", "f.txt": b""},
     "no text in the corpus: the 2 files are empty"),
    (["--corpus", "a.txt", "--out", "no/r.html"], {"a.txt": b"x"},
     "cannot write no/r.html: No such file or directory"),
])
def test_errors_end_with_one_line_and_leave_no_file(made, package_env, tmp_path, args, files,
                                                    error):
    os.symlink(made[0] / HOSTILE_DIR, tmp_path / "wd")
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(data)
    out = [] if "--out" in args else ["--out", "r.html"]
    done = run(package_env, tmp_path, "--workdir", "wd", *args, *out)
    assert (done.returncode, done.stderr.decode()) == (1, f"ovilex: error: {error}\n")
    assert {p.name for p in tmp_path.iterdir()} == {"wd"} | {n.split("/")[0] for n in files}


@pytest.mark.browser
def test_page_renders_in_a_headless_browser(made, tmp_path):
    if shutil.which("chromium") is None:
        pytest.skip("chromium is not installed here: tools/check report installs it and runs this")
    image = pytest.importorskip("matplotlib.image")
    shot = tmp_path / "shot.png"
    # As root, without a display or a user session.
    done = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                           "--no-first-run", "--disable-background-networking",
                           "--disable-component-update", "--disable-sync",
                           f"--screenshot={shot}", "--window-size=1000,1600",
                           (made[0] / "report.html").as_uri()], capture_output=True, timeout=120,
                          env=dict(os.environ, HOME=str(tmp_path)), cwd=tmp_path)
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    pixels = image.imread(shot)[:, :, :3]
    assert pixels.shape[:2] == (1600, 1000)
    assert len({tuple(p) for p in (pixels.reshape(-1, 3)[::7] * 255).astype(int).tolist()}) > 100
    assert (pixels.min(axis=2) < 0.9).mean() > 0.03  # not white
