"""Split patterns outside the native families, run by PCRE2: against the
regex module on every code point and on real text (the published family
patterns forced through PCRE2 must give the native splitters' chunks),
against Hugging Face tokenizers' Split and Digits for every behaviour and in
chains, and end to end against tiktoken's and Hugging Face tokenizers' ids;
then what is refused, with its message."""

import base64
import json
import pathlib
import pickle
import random
import sys
import sysconfig

import pytest

from ovilex import OvilexError, Tokenizer, TokenizerFileError, _native, export, split
from ovilex.patterns import (
    CL100K_PATTERN, GPT2_PATTERN, GPT2_PATTERN_TIKTOKEN, LLAMA3_PATTERN, O200K_PATTERN,
    QWEN2_PATTERN, split_rules,
)

regex = pytest.importorskip("regex")

FAMILIES = {"gpt2": GPT2_PATTERN, "gpt2-tiktoken": GPT2_PATTERN_TIKTOKEN,
            "cl100k": CL100K_PATTERN, "llama3": LLAMA3_PATTERN, "qwen2": QWEN2_PATTERN,
            "o200k": O200K_PATTERN}
# Backreferences, lazy repeats, lookahead, case-insensitive sets with a
# letter that folds beyond ASCII, scripts, "$" after a possessive run.
UNUSUAL = [
    r"""(?i:[a-zſ]+)|\p{Nd}{2}|[^\s\p{L}\p{N}]|\s+(?=\S)|\s""",
    r"""\p{Lu}\p{Ll}*|(\p{L})\1+|\p{L}+?\p{M}*|\p{N}+?\p{N}|[\p{P}\p{S}]+|\s++$|\s""",
    r"""\p{Greek}+|\p{Han}|[""" "\u0600-\u06ff" r"""]+| ?[^\s\p{Greek}\p{Han}]{1,4}|\s""",
]
CODE_POINTS = [c for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]


def forced(pattern):
    """Steps that run a pattern through PCRE2, a native one's too."""
    return (("split", pattern, "removed", True),)


def real_texts():
    paths = sorted(pathlib.Path(sysconfig.get_path("stdlib")).glob("[n-z]*.py"))[:12]
    texts = [p.read_text(encoding="utf-8") for p in paths]
    corpus = pathlib.Path(__file__).resolve().parents[2] / "bench" / "corpus"
    # A slice of every source of the bench corpus, where it has been gathered.
    texts += [p.read_text(encoding="utf-8")[:100_000] for p in sorted(corpus.glob("*.txt"))
              if p.name != "all.txt"]
    return texts + ["Ünïcödé Ελληνικά русский 中文字 😀👍🏽 ١٢٣ ४५६ it's ÅSTRÖM's 123456\n\n  "]


def first_difference(got, want):
    k = next(i for i, (g, w) in enumerate(zip([*got, None], [*want, None])) if g != w)
    return f"chunk {k}: got {got[k:k + 3]!r:.300}, want {want[k:k + 3]!r:.300}"


@pytest.fixture(scope="module")
def unicode_delta():
    """The code points whose properties PCRE2 gives otherwise than the
    regex module: Unicode 17 against 16 (docs/interop.md)."""
    text = "".join(map(chr, CODE_POINTS))
    delta = set()
    for prop in (r"\p{L}", r"\p{Lu}", r"\p{Ll}", r"\p{Lt}", r"\p{Lm}", r"\p{Lo}", r"\p{M}",
                 r"\p{N}", r"\p{Nd}", r"\p{Greek}", r"\p{Han}", r"\p{P}", r"\p{S}"):
        delta |= set("".join(_native.split(text, forced(prop)))) ^ set(
            "".join(regex.findall(prop, text)))
    assert 0 < len(delta) < 6000  # the new letters and digits, not whole classes
    return delta


@pytest.fixture(scope="module")
def every_code_point(unicode_delta):
    """before + c + after for every c outside the delta, one text per context."""
    kept = [chr(c) for c in CODE_POINTS if chr(c) not in unicode_delta]
    return lambda before, after: "".join(before + c + after for c in kept)


class TestAgainstRegex:
    @pytest.mark.parametrize("before, after", [("!\u0301", " 1"), ("'", "e\n")])
    @pytest.mark.parametrize("name", FAMILIES)
    def test_families_through_pcre2_give_the_native_chunks(self, every_code_point, name, before,
                                                           after):
        text = every_code_point(before, after)
        got, want = _native.split(text, forced(FAMILIES[name])), split(text, name.split("-")[0])
        assert got == want, first_difference(got, want)

    @pytest.mark.parametrize("name", FAMILIES)
    def test_families_through_pcre2_on_real_text(self, name):
        for text in real_texts():
            got, want = _native.split(text, forced(FAMILIES[name])), split(text, name.split("-")[0])
            assert got == want, first_difference(got, want)

    # Under (?i) the regex module alone takes U+0130 for "i" (by its lower
    # case, where the others fold case), and beside a case-insensitive
    # alternative it finds no match at U+0345, which the others find: both
    # are left out here and held to tiktoken and Hugging Face below.
    @pytest.mark.parametrize("pattern", UNUSUAL)
    def test_unusual_patterns_find_what_regex_finds(self, every_code_point, pattern):
        find = regex.compile(pattern)
        texts = [every_code_point(b, a).replace("\u0130", "").replace("\u0345", "")
                 for b, a in [("a\u0301", " Σ!1")]]
        for text in texts + real_texts():
            got, want = split(text, pattern), [m.group() for m in find.finditer(text)]
            assert got == want, first_difference(got, want)


# Every code point alone and after "'", against patterns whose matches keep
# only what folds into them: the kept text is all there is to compare.
@pytest.mark.parametrize("pattern, lead", [(r"(?i:[a-zſ])|[^\s\p{L}\p{N}]", ""),
                                           (r"(?i:'s|'t|'ll|'k)", "'")])
def test_case_folds_as_tiktoken_and_hf(unicode_delta, pattern, lead):
    tiktoken = pytest.importorskip("tiktoken")
    tokenizers = pytest.importorskip("tokenizers")
    text = "".join(lead + chr(c) for c in CODE_POINTS if chr(c) not in unicode_delta)
    enc = tiktoken.Encoding("probe", pat_str=pattern, special_tokens={},
                            mergeable_ranks={bytes([b]): b for b in range(256)})
    hf = tokenizers.pre_tokenizers.Split(tokenizers.Regex(pattern), "removed", invert=True)
    ours = "".join(split(text, pattern))
    assert ours == enc.decode(enc.encode_ordinary(text))
    assert ours == "".join(p for p, _ in hf.pre_tokenize_str(text))
    assert "\u0130" not in ours and {"\u017f", "\u212a"} <= set(ours)
    assert ("\u0345" in ours) == (lead == "")


# ----------------------------------------------------------------------
# Hugging Face tokenizers' pre-tokenizers

tokenizers = pytest.importorskip("tokenizers")
pre = tokenizers.pre_tokenizers


def hf_pieces(pre_tokenizer, text):
    return [text[a:b] for _, (a, b) in pre_tokenizer.pre_tokenize_str(text)]


def mixes(seed, n=300):
    rng = random.Random(seed)
    alphabet = "ab Z1234 \n\t'!?.,é中😀\u0301٣"
    return ["".join(rng.choice(alphabet) for _ in range(rng.randrange(40))) for _ in range(n)]


BEHAVIORS = ["isolated", "removed", "merged_with_previous", "merged_with_next", "contiguous"]


@pytest.fixture(scope="module")
def low_planes(unicode_delta):
    """U+0020..U+2FFF but the code points of the delta."""
    return "".join(chr(c) for c in range(0x20, 0x3000) if chr(c) not in unicode_delta)


@pytest.mark.parametrize("behavior", BEHAVIORS)
@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize("pattern", [r"\d", r"\p{L}+|\s", r"[!?.,]{1,2}"])
def test_split_behaviors_as_hf(low_planes, behavior, invert, pattern):
    hf = pre.Split(tokenizers.Regex(pattern), behavior, invert=invert)
    steps = (("split", pattern, behavior, invert),)
    for text in mixes(len(pattern)) + [low_planes]:
        got, want = _native.split(text, steps), hf_pieces(hf, text)
        assert got == want, first_difference(got, want)


CHAINS = {
    "digits-each": ([pre.Digits(individual_digits=True)], (("digits", True),)),
    "digits-runs": ([pre.Digits(individual_digits=False)], (("digits", False),)),
    "split-digits-split": (
        [pre.Split(tokenizers.Regex(r" ?\p{L}+| ?[^\s\p{L}]+|\s+"), "merged_with_next"),
         pre.Digits(individual_digits=True),
         pre.Split(tokenizers.Regex(r"[!?]"), "removed", invert=False)],
        (("split", r" ?\p{L}+| ?[^\s\p{L}]+|\s+", "merged_with_next", False),
         ("digits", True), ("split", r"[!?]", "removed", False))),
    "contiguous-then-gpt2": (
        [pre.Split(tokenizers.Regex(r"\s"), "contiguous", invert=True),
         pre.ByteLevel(add_prefix_space=False, use_regex=True)],
        (("split", r"\s", "contiguous", True), ("split", GPT2_PATTERN, "isolated", False))),
}


@pytest.mark.parametrize("name", CHAINS)
def test_chains_as_hf_sequences(low_planes, name):
    steps_hf, steps = CHAINS[name]
    hf = pre.Sequence(steps_hf)
    for text in mixes(7) + [low_planes]:
        got = _native.split(text, steps)
        if name == "contiguous-then-gpt2":  # ByteLevel maps the pieces to its characters
            got = [export.byte_level(c.encode()) for c in got]
            want = [p for p, _ in hf.pre_tokenize_str(text)]
        else:
            want = hf_pieces(hf, text)
        assert got == want, first_difference(got, want)


# ----------------------------------------------------------------------
# End to end: ids

tiktoken = pytest.importorskip("tiktoken")
# "$" is the text's end alone, as tiktoken has it: " \n" ends a text whole.
TIKTOKEN_PATTERN = r"""(?i:'s|'t)|\p{Lu}?\p{Ll}+|\p{L}+|\p{N}{1,2}| ?[^\s\p{L}\p{N}]+|\s+$|\s+(?!\S)|\s"""


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    text = "".join(real_texts()[:6])
    return Tokenizer.train([text], workdir=tmp_path_factory.mktemp("t"), vocab_size=2000)


def samples():
    texts = real_texts()
    rng = random.Random(2)
    return [t[s:s + rng.randint(1, 4000)] for t in texts for s in rng.sample(range(len(t)), 4)] \
        + mixes(3, 100) + ["ends in a space and a newline \n", "two \n\n"]


def test_rank_files_with_other_patterns_give_tiktokens_ids(trained, tmp_path):
    ranks = {data: i for i, data in trained.vocab.items()}
    lines = "".join(f"{base64.b64encode(b).decode()} {r}\n" for b, r in ranks.items())
    (tmp_path / "r.tiktoken").write_text(lines)
    compact = "! 0 " + " ".join(base64.b64encode(trained.vocab[i]).decode()
                                for i in range(len(ranks)))
    (tmp_path / "r.json").write_text(json.dumps(
        {"pat_str": TIKTOKEN_PATTERN, "special_tokens": {"<|end|>": 5000}, "bpe_ranks": compact}))
    enc = tiktoken.Encoding("t", pat_str=TIKTOKEN_PATTERN, mergeable_ranks=ranks,
                            special_tokens={"<|end|>": 5000})
    for tok in (Tokenizer.from_tiktoken(tmp_path / "r.tiktoken", pattern=TIKTOKEN_PATTERN),
                Tokenizer.from_tiktoken(tmp_path / "r.json")):
        assert tok.pattern == TIKTOKEN_PATTERN
        texts = samples()
        want = enc.encode_ordinary_batch(texts)
        assert tok.encode_batch(texts) == want
        # Out and back: tiktoken, Hugging Face, pickle.
        assert tok.to_tiktoken().encode_ordinary_batch(texts) == want
        tok.save_hf(tmp_path / "hf.json")
        hf = tokenizers.Tokenizer.from_file(str(tmp_path / "hf.json"))
        assert [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)] == want
        assert pickle.loads(pickle.dumps(tok)).encode_batch(texts) == want


# Where "$" may match decides the chunks: at the end of the text alone, as in
# tiktoken, not before a final newline too. "ab" is a token: a chunk "ab"
# becomes its id.
@pytest.mark.parametrize("pattern", [r"\p{L}+$|\p{L}|\s", r"\S\s$|\S|\s"])
def test_dollar_is_the_end_of_the_text_as_in_tiktoken(pattern):
    ranks = {**{bytes([b]): b for b in range(256)}, b"ab": 256, b"b\n": 257, b"b ": 258}
    enc = tiktoken.Encoding("t", pat_str=pattern, mergeable_ranks=ranks, special_tokens={})
    tok = Tokenizer(None, {i: b for b, i in ranks.items()}, pattern=pattern,
                    merging="token_rank", whole_chunks=True)
    texts = ["ab\n", "ab", "ab \n", "b \n", "x ab\n\n", "ab\nab"]
    assert tok.encode_batch(texts) == enc.encode_ordinary_batch(texts)


HF_SEQUENCES = {
    "merged-digits": [pre.Split(tokenizers.Regex(r" ?\p{L}+| ?[^\s\p{L}]+|\s+"), "merged_with_next"),
                      pre.Digits(individual_digits=True),
                      pre.ByteLevel(add_prefix_space=False, use_regex=False)],
    "removed-inverted-then-gpt2": [
        pre.Split(tokenizers.Regex(r"\s+"), "merged_with_previous", invert=True),
        pre.ByteLevel(add_prefix_space=False, use_regex=True)],
    "string-contiguous": [pre.Split(" ", "contiguous"), pre.Digits(individual_digits=False),
                          pre.ByteLevel(add_prefix_space=False, use_regex=False)],
    "bytes-whole": [pre.ByteLevel(add_prefix_space=False, use_regex=False)],
    "llama3": [pre.Split(tokenizers.Regex(LLAMA3_PATTERN), "isolated"),
               pre.ByteLevel(add_prefix_space=False, use_regex=False)],
}


@pytest.mark.parametrize("name", HF_SEQUENCES)
def test_hf_sequences_give_the_librarys_ids(trained, tmp_path, name):
    hf = tokenizers.Tokenizer.from_str(json.dumps(export.hf_json(trained)))
    hf.pre_tokenizer = pre.Sequence(HF_SEQUENCES[name])
    hf.save(str(tmp_path / "seq.json"))
    tok = Tokenizer.from_hf(tmp_path / "seq.json")
    assert (tok.pattern == "llama3") == (name == "llama3")
    texts = samples()
    want = [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)]
    assert tok.encode_batch(texts) == want
    tok.save_hf(tmp_path / "back.json")
    again = tokenizers.Tokenizer.from_file(str(tmp_path / "back.json"))
    assert [e.ids for e in again.encode_batch(texts, add_special_tokens=False)] == want
    assert Tokenizer.from_hf(tmp_path / "back.json").pattern == tok.pattern
    assert pickle.loads(pickle.dumps(tok)).encode_batch(texts) == want


# ----------------------------------------------------------------------
# What is refused

BYTES = {b: bytes([b]) for b in range(256)}


@pytest.mark.parametrize("pattern, message", [
    (r"\w+|\s", r"split pattern '\\w+|\\s': \w's word characters differ between PCRE2 and the "
                "libraries"),
    (r"[\p{L}[a]]", "split pattern '[\\\\p{L}[a]]': a [ inside a set nests a set in the "
                    "libraries but not in PCRE2"),
    (r"[a-z&&[^x]]", "split pattern '[a-z&&[^x]]': && inside a set is set arithmetic in the "
                     "libraries"),
    ("[[:alpha:]]+", "split pattern '[[:alpha:]]+': a POSIX class [:...:] is ASCII to "
                     "tiktoken's engine, Unicode to PCRE2"),
    (r"\h+", r"split pattern '\\h+': \h is a hex digit to Oniguruma and horizontal space to "
             "PCRE2"),
    (r"a\Z", r"split pattern 'a\\Z': \Z may end before a final newline in PCRE2 and "
             "Oniguruma, not in the regex module"),
    (r"(?s).+", "split pattern '(?s).+': the inline flags (s) mean other things to the "
                "engines: only i is taken"),
    (r"\p{L}+|\s*", r"split pattern '\\p{L}+|\\s*': it may match the empty string"),
    (r"\p{L}+|(", r"split pattern '\\p{L}+|(': PCRE2 cannot compile it at offset 8: missing "
                  "closing parenthesis"),
    ("words", "unknown split pattern 'words': the supported ones are 'ovilex', 'gpt2', "
              "'cl100k', 'llama3', 'qwen2' and 'o200k'"),
])
def test_patterns_refused(pattern, message):
    for call in (lambda: split("text", pattern), lambda: Tokenizer([], BYTES, pattern=pattern)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def hf_file(tmp_path, steps):
    data = json.loads(json.dumps(export.hf_json(Tokenizer([], BYTES))))
    data["pre_tokenizer"] = {"type": "Sequence", "pretokenizers": steps}
    (tmp_path / "t.json").write_text(json.dumps(data), encoding="utf-8")
    return tmp_path / "t.json"


BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "use_regex": False}


@pytest.mark.parametrize("steps, message", [
    ([{"type": "Split", "pattern": {"Regex": r"\s+$|\S+"}, "behavior": "Isolated"}, BYTE_LEVEL],
     r"split pattern '\\s+$|\\S+': $ matches at every line in Oniguruma, only at the text's "
     "ends in PCRE2"),
    ([{"type": "Split", "pattern": {"Regex": r"\d{1,3}+|\D"}, "behavior": "Isolated"},
      BYTE_LEVEL],
     r"split pattern '\\d{1,3}+|\\D': Oniguruma repeats {n,m}+ again where PCRE2 makes it "
     "possessive"),
    ([{"type": "Split", "pattern": {"Regex": "a"}, "behavior": "Glued"}, BYTE_LEVEL],
     "pre-tokenizer 0 (Split) has the behavior 'Glued', not one of Isolated, Removed, "
     "MergedWithPrevious, MergedWithNext, Contiguous"),
    ([{"type": "Whitespace"}, BYTE_LEVEL],
     "pre-tokenizer 0 (Whitespace) is not supported: expected Split, Digits or ByteLevel"),
    ([BYTE_LEVEL, {"type": "Digits"}],
     "the pre-tokenizer [ByteLevel, Digits] is not supported: expected ByteLevel, or a "
     "Sequence of Split, Digits and ByteLevel that ends with ByteLevel"),
    ([{"type": "Digits"}, {**BYTE_LEVEL, "add_prefix_space": True}],
     "pre-tokenizer 1 (ByteLevel) puts a space before every piece, where ovilex puts one "
     "before the text"),
])
def test_hf_sequences_refused(tmp_path, steps, message):
    path = hf_file(tmp_path, steps)
    with pytest.raises(TokenizerFileError) as e:
        Tokenizer.from_hf(path)
    assert str(e.value) == f"{path}: {message}"


def test_what_other_libraries_and_files_cannot_take(tmp_path):
    chain = Tokenizer([], BYTES, pattern=(("digits", True), ("split", r"\S+", "isolated", False)))
    with pytest.raises(OvilexError, match=r"^tiktoken splits by the matches of one pattern: this "
                                          r"tokenizer's 2 split steps cannot be written as one$"):
        chain.to_tiktoken()
    possessive = Tokenizer([], BYTES, pattern=r"\p{L}{1,3}+|\P{L}")
    with pytest.raises(ValueError, match=r"Oniguruma would repeat its possessive \{n,m\}\+$"):
        possessive.save_hf(tmp_path / "p.json")
    (tmp_path / "a.txt").write_text("some text")
    with pytest.raises(ValueError, match="^count_in_files cannot read files in pieces under a "
                                         "regular expression split pattern: it has no safe cuts$"):
        chain.count_in_files([tmp_path / "a.txt"])
