"""encode(s, merges): the rules of merge application, checked on hand-made
cases and against the sequential reference on random and real text."""

import collections
import pathlib
import random
import re
import textwrap

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import reference
from _ovilex import decode_string, encode, encode_train

# Tiny alphabets force many matches; the non-ASCII ones give multi-byte words.
ALPHABETS = ["ab", "abc", "a\u00e9", "\u00e9\u00e8", "x\u65e5"]
# Words longer than this take the native code's other algorithm.
SHORT_WORD_BYTES = 64
# Words long enough for that algorithm: fewer of them, and more merges.
LONG_WORDS = {"min_size": SHORT_WORD_BYTES // 2, "max_size": 300, "max_words": 3,
              "max_merges": 60}


def check(s, merges):
    """encode's result, after checking it against the reference."""
    result = encode(s, merges)
    assert type(result) is list
    assert all(type(t) is int for t in result)
    assert result == reference.encode(s, merges)
    return result


class TestRules:
    @pytest.mark.parametrize(
        "s, merges, expected",
        [
            pytest.param([], [], [], id="nothing"),
            pytest.param([], [((97, 98), 256), ((256, 256), 257)], [], id="no-chunks"),
            pytest.param([""], [((97, 98), 256)], [], id="empty-chunk"),
            pytest.param(["", "a", "", ""], [((97, 97), 256)], [97], id="empty-chunks-around"),
            pytest.param(["ab", "ab"], [((97, 98), 256)], [256, 256], id="each-chunk"),
            pytest.param(["aaa"], [((97, 97), 256)], [256, 97], id="no-overlap-3"),
            pytest.param(["aaaa"], [((97, 97), 256)], [256, 256], id="no-overlap-4"),
            pytest.param(["aaaaa"], [((97, 97), 256)], [256, 256, 97], id="no-overlap-5"),
            pytest.param(["aaaa"], [((97, 97), 97)], [97, 97], id="own-output-unseen"),
            pytest.param(["aaaa"], [((97, 97), 97), ((97, 97), 97)], [97], id="repeated-pair"),
            pytest.param(["abc"], [((97, 98), 256), ((256, 99), 257)], [257], id="chain"),
            pytest.param(["abc"], [((256, 99), 257), ((97, 98), 256)], [256, 99],
                         id="list-order-not-id-order"),
            pytest.param(["ab", "c"], [((98, 99), 256)], [97, 98, 99], id="no-cross-chunk"),
            pytest.param(["\u00e9"], [], [195, 169], id="utf8-bytes"),
            pytest.param(["\U0001f600"], [], [240, 159, 152, 128], id="utf8-4-bytes"),
            pytest.param(["a\x00b"], [], [97, 0, 98], id="nul"),
            pytest.param(["\u00e9"], [((195, 169), 233)], [233], id="new-below-256"),
            pytest.param(["hi"], [((104, 105), 0)], [0], id="new-0"),
            pytest.param(["abb"], [((97, 98), 98), ((98, 98), 300)], [300], id="new-equals-right"),
            pytest.param(["aab"], [((97, 98), 97), ((97, 97), 300)], [300], id="new-equals-left"),
            pytest.param(["ab"], [((120, 121), 256), ((256, 97), 257)], [97, 98], id="absent-pairs"),
            pytest.param(["ab"], [((97, 98), 65535)], [65535], id="new-65535"),
            pytest.param(["abab"], [((97, 98), 256), ((98, 97), 257)], [256, 256],
                         id="earlier-merge-wins"),
            pytest.param(["abab"], [((98, 97), 257), ((97, 98), 256)], [97, 257, 98],
                         id="other-order"),
        ],
    )
    def test_case(self, s, merges, expected):
        assert check(s, merges) == expected

    def test_without_merges_gives_the_utf8_bytes(self):
        s = ["Hello", ", ", "w\u00f6rld", " \u65e5\u672c", "\U0001f600", ""]
        assert check(s, []) == list("".join(s).encode("utf-8"))

    def test_merge_list_from_training_is_accepted(self):
        chunks = ["low", "lower", "newest", "widest"] * 5
        merges = encode_train(chunks)
        assert merges
        check(chunks, merges)


@st.composite
def words_and_merges(draw, min_size=0, max_size=12, max_words=8, max_merges=30):
    """Chunks over a tiny alphabet (with repeats) and a merge list over a small
    pool of ids, so that pairs repeat, new ids reuse byte ids or a part, and
    some pairs never occur."""
    alphabet = draw(st.sampled_from(ALPHABETS))
    word = st.text(alphabet, min_size=min_size, max_size=max_size)
    words = draw(st.lists(word, max_size=max_words))
    if words:
        words += draw(st.lists(st.sampled_from(words), max_size=4))
        words = draw(st.permutations(words))
    pool = sorted(set(alphabet.encode("utf-8"))) + [256, 257, 258]
    token = st.one_of(st.sampled_from(pool), st.integers(0, 65535))
    common = st.sampled_from(pool)
    merge = st.tuples(st.tuples(common, common), common) | st.tuples(st.tuples(token, token), token)
    merges = draw(st.lists(merge, max_size=max_merges))
    return words, merges


@st.composite
def words_and_occurring_merges(draw, min_size=0, max_size=12, max_words=8, max_merges=30):
    """Chunks over a tiny alphabet and merges like a trained list: each merge
    names a pair present in the words at that point of the list, so merges
    build on each other; most new ids are fresh, some reuse an earlier id."""
    alphabet = draw(st.sampled_from(ALPHABETS))
    words = draw(st.lists(st.text(alphabet, min_size=min_size, max_size=max_size),
                          min_size=1, max_size=max_words))
    state = [list(w.encode("utf-8")) for w in words]
    known = sorted(set(alphabet.encode("utf-8")))
    fresh = 256
    merges = []
    for _ in range(draw(st.integers(0, max_merges))):
        pairs = sorted({p for w in state for p in zip(w, w[1:])})
        if not pairs:
            break
        pair = draw(st.sampled_from(pairs))
        if draw(st.integers(0, 4)) == 0:
            new = draw(st.sampled_from(known))
        else:
            new = fresh
            fresh += 1
            known.append(new)
        merges.append((pair, new))
        state = [reference.merge_word(w, pair[0], pair[1], new) for w in state]
    return words, merges


class TestAgainstReference:
    @settings(max_examples=300, deadline=None)
    @given(words_and_merges())
    def test_short_words(self, case):
        check(*case)

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(words_and_merges(**LONG_WORDS))
    def test_long_words(self, case):
        check(*case)

    @settings(max_examples=200, deadline=None)
    @given(words_and_occurring_merges())
    def test_short_words_with_occurring_merges(self, case):
        check(*case)

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(words_and_occurring_merges(**LONG_WORDS))
    # A run of a's, whose every other position the first merge consumes,
    # followed by merges over what surrounds them.
    @example((["a" * 46 + "b" + "a" * 13 + "babab"], [((97, 97), 256), ((97, 98), 257),
                                                      ((98, 257), 97)]))
    def test_long_words_with_occurring_merges(self, case):
        check(*case)

    @settings(max_examples=200, deadline=None)
    @given(st.lists(st.text(st.characters(exclude_categories=["Cs"]), max_size=20), max_size=10))
    def test_any_text_without_merges(self, words):
        assert encode(words, []) == list("".join(words).encode("utf-8"))

    @pytest.mark.parametrize("seed", range(3))
    @pytest.mark.parametrize("length", [65, 80])
    def test_long_word_with_more_merges_than_length_squared(self, seed, length):
        rand = random.Random(seed * 1000 + length)
        alphabet = rand.choice(ALPHABETS)
        word = "".join(rand.choice(alphabet) for _ in range(length))
        pool = sorted(set(alphabet.encode("utf-8"))) + list(range(256, 270))
        merges = [((rand.choice(pool), rand.choice(pool)), rand.choice(pool))
                  for _ in range(len(word.encode("utf-8")) ** 2 + rand.randrange(100))]
        check([word, word[: length // 2], word], merges)

    @pytest.mark.parametrize("seed", range(3))
    def test_chunks_of_thousands_of_characters(self, seed):
        rand = random.Random(seed)
        alphabet = ALPHABETS[seed % len(ALPHABETS)]
        words = ["".join(rand.choice(alphabet) for _ in range(rand.randrange(1500, 4000)))
                 for _ in range(2)]
        pool = sorted(set(alphabet.encode("utf-8"))) + list(range(256, 300))
        merges = []
        new = 256
        for _ in range(rand.randrange(50, 200)):
            # Mostly fresh ids, so that merges build on each other.
            merges.append(((rand.choice(pool[: new - 256 + 3]), rand.choice(pool[: new - 256 + 3])),
                           new if rand.random() < 0.8 else rand.choice(pool)))
            new = min(new + 1, 299)
        check(words + [words[0]], merges)


class TestRepeatedChunks:
    """Identical chunks are encoded once per call; repeats must not differ."""

    @pytest.mark.parametrize("length", [3, 64, 65, 500])
    def test_repeats_equal_the_first_occurrence(self, length):
        word = ("ab" * length)[:length]
        merges = [((97, 98), 256), ((256, 256), 257), ((257, 97), 258)]
        s = [word, "", word, word[:-1], word, "".join(list(word)), word[1:], word]
        result = check(s, merges)
        single = encode([word], merges)
        pieces = []
        for chunk in s:
            pieces += encode([chunk], merges)
        assert result == pieces
        assert result[: len(single)] == single

    @settings(max_examples=100, deadline=None)
    @given(st.data())
    def test_many_repeats(self, data):
        words, merges = data.draw(words_and_occurring_merges(max_size=100, max_words=4))
        s = data.draw(st.lists(st.sampled_from(words), min_size=1, max_size=30))
        check(s, merges)


def _source_text():
    """Some of the standard library's own source, with a multilingual tail."""
    text = pathlib.Path(textwrap.__file__).read_text(encoding="utf-8")
    tail = ("\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u03ba\u03cc\u03c3\u03bc\u03b5, "
            "\u043f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440, "
            "\u3053\u3093\u306b\u3061\u306f\u4e16\u754c \U0001f600\U0001f600 ")
    return text + tail * 20


def _frequent_pair_merges(words, count):
    """Repeatedly merges the most frequent adjacent pair over the words."""
    freqs = collections.Counter(words)
    table = {w: list(w.encode("utf-8")) for w in freqs}
    merges = []
    for new in range(256, 256 + count):
        pairs = collections.Counter()
        for w, f in freqs.items():
            ids = table[w]
            for pair in zip(ids, ids[1:]):
                pairs[pair] += f
        if not pairs:
            break
        pair = max(pairs, key=lambda p: (pairs[p], p))
        merges.append((pair, new))
        for w in table:
            table[w] = reference.merge_word(table[w], pair[0], pair[1], new)
    return merges


@pytest.fixture(scope="module")
def corpus():
    text = _source_text()
    words = re.findall(r" ?\w+| ?[^\w\s]+|\s+", text)
    assert "".join(words) == text
    return text, words, _frequent_pair_merges(words, 120)


class TestRealText:
    def test_words_match_reference(self, corpus):
        text, words, merges = corpus
        ids = check(words, merges)
        assert len(ids) < len(text.encode("utf-8")) // 2
        assert decode_string(ids, reference.vocab_from_merges(merges)) == text

    def test_whole_text_as_few_long_chunks(self, corpus):
        text, _, merges = corpus
        chunks = [text[:6000], text[6000:9000], text[-2000:]]
        ids = check(chunks, merges)
        assert decode_string(ids, reference.vocab_from_merges(merges)) == "".join(chunks)
