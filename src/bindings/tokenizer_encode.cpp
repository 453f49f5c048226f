// ovilex._native.Tokenizer: encoding, counting and decoding.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bindings.h"
#include "engine/count.h"
#include "engine/file_tokens.h"
#include "engine/shards.h"
#include "module/args.h"
#include "module/errors.h"
#include "tokenizer/decode.h"
#include "tokenizer_args.h"
#include "tokenizer_object.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

constexpr std::string_view TEXT_PARAMS[] = {"text"};
constexpr std::string_view ALLOWED_PARAMS[] = {"allowed_special"};

// The text and allowed_special of encode and encode_array. A call with the
// text alone, the common one, skips the parsing.
std::array<PyObject*, 2> text_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  if (nargs == 1 && kwnames == nullptr) return {args[0], nullptr};
  const py::Signature sig{function, TEXT_PARAMS, 1, 1, ALLOWED_PARAMS};
  std::array<PyObject*, 2> slots;
  py::parse_args(sig, args, nargs, kwnames, slots);
  return slots;
}

}  // namespace

PyObject* encode_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const auto [text, allowed_arg] = text_args("encode", args, nargs, kwnames);
    const std::string_view utf8 = utf8_of(text, "encode", "text");
    const AllowedSpecial allowed(allowed_arg, core, "encode");
    if (utf8.size() < RELEASE_FROM_BYTES) {
      thread_local std::vector<TokenId> ids;
      ids.clear();
      allowed.encode(core, utf8, ids);
      return id_list(state_of(self), ids);
    }
    std::vector<TokenId> ids;
    {
      GilReleased released;
      allowed.encode(core, utf8, ids);
    }
    return id_list(state_of(self), ids);
  });
}


namespace {

constexpr std::string_view ARRAY_KEYWORDS[] = {"allowed_special", "dtype"};

}  // namespace

PyObject* encode_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 3> slots{nargs > 0 ? args[0] : nullptr, nullptr, nullptr};
    if (nargs != 1 || kwnames != nullptr) {
      const py::Signature sig{"encode_array", TEXT_PARAMS, 1, 1, ARRAY_KEYWORDS};
      py::parse_args(sig, args, nargs, kwnames, slots);
    }
    const std::string_view utf8 = utf8_of(slots[0], "encode_array", "text");
    const AllowedSpecial allowed(slots[1], core, "encode_array");
    const IdWidth width = dtype_arg(slots[2], core, "encode_array");
    if (width == IdWidth::Bits16 && core.narrow()) {
      std::vector<std::uint16_t> ids;
      {
        GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
        allowed.encode(core, utf8, ids);
      }
      return make_id_array(std::span(&ids, 1));
    }
    std::vector<TokenId> ids;
    {
      GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
      allowed.encode(core, utf8, ids);
    }
    return make_id_array(std::span(&ids, 1), width);
  });
}

PyObject* count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const auto [text, allowed_arg] = text_args("count", args, nargs, kwnames);
    const std::string_view utf8 = utf8_of(text, "count", "text");
    const AllowedSpecial allowed(allowed_arg, core, "count");
    std::uint64_t n = 0;
    {
      GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
      n = core.count_text(utf8, allowed.matcher());
    }
    return check(PyLong_FromUnsignedLongLong(n));
  });
}

namespace {

constexpr std::string_view BATCH_PARAMS[] = {"texts", "threads"};

// Parses a batch call's texts, threads= and the keyword-only |keywords|
// (allowed_special, and dtype where it is the second), then returns
// encode(texts, threads, allowed, dtype), dtype null when not given.
template <class Encode>
PyRef batch_call(const char* function, const engine::CompiledTokenizer& core,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::span<const std::string_view> keywords, Encode&& encode) {
  const py::Signature sig{function, BATCH_PARAMS, 1, 0, keywords};
  std::array<PyObject*, 4> slots{};
  py::parse_args(sig, args, nargs, kwnames, std::span(slots).first(2 + keywords.size()));
  const std::size_t threads = to_threads(slots[1]);
  const TextViews texts = text_views(slots[0], function, "texts");
  const AllowedSpecial allowed(slots[2], core, function);
  return encode(texts, threads, allowed.matcher(), slots[3]);
}

}  // namespace

PyObject* encode_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("encode_batch", core, args, nargs, kwnames, ALLOWED_PARAMS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject*) {
      std::vector<std::vector<TokenId>> ids;
      {
        GilReleased released(texts.bytes >= RELEASE_FROM_BYTES);
        ids = core.encode_batch(texts.views, texts.bytes >= RELEASE_FROM_BYTES ? threads : 1,
                                allowed);
      }
      PyRef lists = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
      for (std::size_t i = 0; i < ids.size(); ++i) {
        PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i),
                        id_list(state_of(self), ids[i]).release());
        std::vector<TokenId>().swap(ids[i]);
      }
      return lists;
    });
  });
}

PyObject* encode_batch_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("encode_batch_array", core, args, nargs, kwnames, ARRAY_KEYWORDS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject* dtype) {
      const IdWidth width = dtype_arg(dtype, core, "encode_batch_array");
      const bool release = texts.bytes >= RELEASE_FROM_BYTES;
      // Ids (and their pieces) of the width asked for, made by |encode|.
      const auto arrays = [&]<class Id>(std::type_identity<Id>, auto&& make_ids) {
        engine::FlatIds<Id> flat;
        {
          GilReleased released(release);
          flat = core.encode_batch_flat<Id>(texts.views, release ? threads : 1, allowed);
        }
        PyRef ids = make_ids(flat.pieces);
        PyRef offsets =
            make_array("Q", flat.offsets.data(), flat.offsets.size() * sizeof(std::uint64_t));
        return check(PyTuple_Pack(2, ids.get(), offsets.get()));
      };
      if (width == IdWidth::Bits16 && core.narrow()) {
        return arrays(std::type_identity<std::uint16_t>{}, [](const auto& pieces) {
          return make_id_array(std::span(pieces));
        });
      }
      return arrays(std::type_identity<TokenId>{}, [&](const auto& pieces) {
        return make_id_array(std::span(pieces), width);
      });
    });
  });
}

// A new list of the counts as ints.
PyRef count_list(std::span<const std::uint64_t> counts) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    check(PyLong_FromUnsignedLongLong(counts[i])).release());
  }
  return list;
}

PyObject* count_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("count_batch", core, args, nargs, kwnames, ALLOWED_PARAMS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject*) {
      std::vector<std::uint64_t> counts;
      {
        GilReleased released(texts.bytes >= RELEASE_FROM_BYTES);
        counts = core.count_batch(texts.views, texts.bytes >= RELEASE_FROM_BYTES ? threads : 1,
                                  allowed);
      }
      return count_list(counts);
    });
  });
}

PyObject* encode_chunks_method(PyObject* self, PyObject* chunks_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const TextViews chunks = text_views(chunks_arg, "encode_chunks", "chunks");
    PyRef lists = check(PyList_New(static_cast<Py_ssize_t>(chunks.views.size())));
    std::vector<TokenId> ids;
    for (std::size_t i = 0; i < chunks.views.size(); ++i) {
      ids.clear();
      core.encode_chunk(chunks.views[i], ids);
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), id_list(state_of(self), ids).release());
    }
    return lists;
  });
}

PyObject* decode_method(PyObject* self, PyObject* ids_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const IdsArg ids(ids_arg);
    thread_local std::string bytes;
    bytes.clear();
    if (const auto unknown = core.decode_bytes(ids.ids(), bytes)) {
      py::throw_error(Error{ErrorKind::UnknownTokenId,
                            "unknown token id " + std::to_string(*unknown) + " in vocab_list"});
    }
    PyRef text = decoded_text(bytes);
    if (bytes.capacity() > (std::size_t{1} << 20)) std::string().swap(bytes);
    return text;
  });
}

PyObject* decode_bytes_method(PyObject* self, PyObject* ids_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const IdsArg ids(ids_arg);
    std::string bytes;
    if (const auto unknown = core.decode_bytes(ids.ids(), bytes)) {
      py::throw_error(Error{ErrorKind::UnknownTokenId,
                            "unknown token id " + std::to_string(*unknown) + " in vocab_list"});
    }
    return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  });
}

PyObject* id_to_bytes_method(PyObject* self, PyObject* id_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    int overflow = 0;
    const long long id = PyLong_Check(id_arg) ? PyLong_AsLongLongAndOverflow(id_arg, &overflow) : -1;
    if (!PyLong_Check(id_arg)) {
      py::throw_format(PyExc_TypeError, "id_to_bytes() argument must be int, not %.200s",
                       Py_TYPE(id_arg)->tp_name);
    }
    if (id == -1 && PyErr_Occurred()) throw py::PythonError{};
    const auto bytes = overflow == 0 && id >= 0 && id <= static_cast<long long>(MAX_TOKEN_ID)
                           ? core.token_bytes(static_cast<TokenId>(id))
                           : std::nullopt;
    if (!bytes) {
      PyRef message = check(PyUnicode_FromFormat("unknown token id %S", id_arg));
      PyErr_SetObject(PyExc_KeyError, message.get());
      throw py::PythonError{};
    }
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                           static_cast<Py_ssize_t>(bytes->size())));
  });
}

}  // namespace ovilex::bindings
