// load_ranks: a tokenizer straight from the text of a tiktoken rank file,
// read natively (tokenizer/rank_file.h) with no Python object per rank.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "bindings.h"
#include "engine/compiled.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/once.h"
#include "text/split.h"
#include "tokenizer/rank_file.h"
#include "tokenizer_args.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

py::GilOnce<PyObject*> tokenizer_file_error_cell;

PyObject* tokenizer_file_error() {
  return tokenizer_file_error_cell.get([] {
    PyRef mod = check(PyImport_ImportModule("ovilex.errors"));
    return check(PyObject_GetAttrString(mod.get(), "TokenizerFileError")).release();
  });
}

// Raises TokenizerFileError with |message| (a new str).
[[noreturn]] void fail(PyRef message) {
  PyErr_SetObject(tokenizer_file_error(), message.get());
  throw py::PythonError{};
}

PyRef bytes_of(std::string_view s) {
  return check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The first 40 bytes of |s| as text, undecodable bytes replaced, as the
// messages show a line.
PyRef shown(std::string_view s) {
  s = s.substr(0, 40);
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

[[noreturn]] void fail_on(const RankProblem& p, PyObject* where, bool compact) {
  using Kind = RankProblem::Kind;
  const std::string at = (compact ? "bpe_ranks, line " : "line ") + std::to_string(p.line);
  const std::string rank = p.text.empty() ? std::to_string(p.rank) : std::string(p.text);
  switch (p.kind) {
    case Kind::Malformed:
      fail(check(PyUnicode_FromFormat(
          compact ? "%U: %s: expected '! RANK BASE64 ...', found %R"
                  : "%U: %s: expected 'BASE64 RANK', found %R",
          where, at.c_str(), shown(p.text).get())));
    case Kind::NotBase64:
      fail(check(PyUnicode_FromFormat("%U: %s: %R is not base64", where, at.c_str(),
                                      shown(p.text).get())));
    case Kind::Negative:
      fail(check(PyUnicode_FromFormat("%U: %s: %R has the id %s, expected an int of 0 or more",
                                      where, at.c_str(), bytes_of(p.token).get(), rank.c_str())));
    case Kind::TooLarge:
      fail(check(PyUnicode_FromFormat("%U: %s: %R has the id %s: ovilex's ids are 0 to %lu",
                                      where, at.c_str(), bytes_of(p.token).get(), rank.c_str(),
                                      static_cast<unsigned long>(MAX_TOKEN_ID))));
    case Kind::Empty:
      fail(check(PyUnicode_FromFormat("%U: %s: an empty token", where, at.c_str())));
    case Kind::RankTwice:
      fail(check(PyUnicode_FromFormat("%U: %s: rank %s is given twice", where, at.c_str(),
                                      rank.c_str())));
    case Kind::BytesTwice:
      fail(check(PyUnicode_FromFormat("%U: %s: %R is given twice (ranks %s and %s)", where,
                                      at.c_str(), bytes_of(p.token).get(),
                                      std::to_string(p.other_rank).c_str(),
                                      std::to_string(p.rank).c_str())));
    case Kind::MissingByte: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", p.byte);
      fail(check(PyUnicode_FromFormat(
          "%U: no token stands for the byte %s: byte-level BPE needs all 256", where, hex)));
    }
  }
  throw std::logic_error("unknown rank file problem");
}

// The special tokens, a dict of str to ids that the caller has checked to
// be 0 to MAX_TOKEN_ID, each outside the ranks and given once.
std::vector<SpecialToken> rank_specials(PyObject* obj, const VocabList& vocab, PyObject* where) {
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "load_ranks() argument 'special_tokens' must be a dict");
    throw py::PythonError{};
  }
  std::vector<SpecialToken> out;
  boost::unordered_flat_map<TokenId, PyObject*> texts;  // borrowed from |obj|
  PyObject* text = nullptr;
  PyObject* id_obj = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj, &pos, &text, &id_obj)) {
    if (!PyUnicode_Check(text) || !PyLong_CheckExact(id_obj)) {
      py::throw_format(PyExc_TypeError, "special_tokens must map str to int, found %R: %R", text,
                   id_obj);
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(id_obj);
    if (PyErr_Occurred() || value > MAX_TOKEN_ID) {
      PyErr_Clear();
      py::throw_format(PyExc_ValueError, "special token %R has the id %R, expected 0 to %lu", text,
                   id_obj, static_cast<unsigned long>(MAX_TOKEN_ID));
    }
    const auto id = static_cast<TokenId>(value);
    const std::string_view utf8 = utf8_of(text, "load_ranks", "special_tokens");
    if (utf8.empty()) {
      fail(check(PyUnicode_FromFormat("%U: a special token's text is empty", where)));
    }
    if (vocab.find(id)) {
      fail(check(PyUnicode_FromFormat("%U: special token %R has the id %R, a rank of the file",
                                      where, text, id_obj)));
    }
    if (const auto [it, fresh] = texts.try_emplace(id, text); !fresh) {
      fail(check(PyUnicode_FromFormat("%U: special tokens %R and %R have the same id %R", where,
                                      it->second, text, id_obj)));
    }
    out.push_back({std::string(utf8), id});
  }
  return out;
}

constexpr std::string_view LOAD_RANKS_PARAMS[] = {
    "cls", "data", "compact", "where", "special_tokens", "pattern", "n_vocab"};
constexpr py::Signature LOAD_RANKS_SIG{"load_ranks", LOAD_RANKS_PARAMS, 6, 0};

}  // namespace

PyObject* load_ranks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 7> slots;
    py::parse_args(LOAD_RANKS_SIG, args, nargs, kwnames, slots);
    PyTypeObject* cls = tokenizer_class(slots[0], "load_ranks");
    std::string_view data;
    if (PyBytes_Check(slots[1])) {
      data = {PyBytes_AS_STRING(slots[1]), static_cast<std::size_t>(PyBytes_GET_SIZE(slots[1]))};
    } else {
      data = utf8_of(slots[1], "load_ranks", "data");
    }
    const int compact = PyObject_IsTrue(slots[2]);
    if (compact < 0) throw py::PythonError{};
    PyObject* where = slots[3];
    if (!PyUnicode_Check(where)) {
      PyErr_SetString(PyExc_TypeError, "load_ranks() argument 'where' must be str");
      throw py::PythonError{};
    }
    engine::EncodingRules rules = rules_arg(slots[5], nullptr, 0, 0, nullptr);
    rules.merging = engine::EncodingRules::Merging::TokenRank;
    rules.whole_chunks = true;
    RankRead read = [&] {
      GilReleased released(data.size() >= RELEASE_FROM_BYTES);
      return compact ? read_compact_ranks(data) : read_rank_lines(data);
    }();
    if (read.problem) fail_on(*read.problem, where, compact != 0);
    std::vector<SpecialToken> specials = rank_specials(slots[4], read.vocab, where);
    const std::size_t special_count = specials.size();
    auto core = [&] {
      GilReleased released(data.size() >= RELEASE_FROM_BYTES);
      return std::make_unique<engine::CompiledTokenizer>(
          std::move(read.vocab), std::move(specials), rules, std::move(read.keys));
    }();
    // tiktoken's own check of its explicit_n_vocab: every id from 0 up.
    if (slots[6] != nullptr && slots[6] != Py_None) {
      const std::size_t n_vocab = PyLong_AsSize_t(slots[6]);
      if (n_vocab == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::PythonError{};
      const std::size_t ids = core->vocab().size() + special_count;
      if (ids != n_vocab || core->id_bound() != n_vocab) {
        fail(check(PyUnicode_FromFormat(
            "%U: explicit_n_vocab is %zu, but the ranks and special tokens are %zu ids, the "
            "greatest %zu",
            where, n_vocab, ids, core->id_bound() - 1)));
      }
    }
    return make_tokenizer(cls, std::move(core));
  });
}

}  // namespace ovilex::bindings
