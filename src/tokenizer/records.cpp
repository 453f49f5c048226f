#include "records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "fd.h"

namespace ovilex {

namespace {

void append_number(std::string& out, unsigned value) {
  char buf[16];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// "<reason> (os error <code>)", the operating system's own description.
std::string os_error_text(int code) {
  char buf[256];
  const char* reason = strerror_r(code, buf, sizeof buf);
  return std::string(reason) + " (os error " + std::to_string(code) + ")";
}

Error write_error(std::string_view path, const std::string& reason) {
  return Error{ErrorKind::Io, "failed to write " + std::string(path) + ": " + reason};
}

// A temporary file that is removed unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const noexcept { return path_; }
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
};

// Creates |dir|; one that already exists as a directory counts as success.
int make_dir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) return 0;
  const int err = errno;
  struct stat st {};
  if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return err;
}

// Writes all of |text|, repeating after interruptions and short writes.
std::optional<std::string> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error_text(errno);
    }
    if (n == 0) return std::string("failed to write whole buffer");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

}  // namespace

std::string merges_record_text(std::span<const Merge> merges) {
  std::string out = "[\n";
  out.reserve(merges.size() * 32 + 3);
  for (std::size_t i = 0; i < merges.size(); ++i) {
    out += "  {\"pair\":[";
    append_number(out, merges[i].left);
    out += ',';
    append_number(out, merges[i].right);
    out += "],\"id\":";
    append_number(out, merges[i].new_id);
    out += i + 1 < merges.size() ? "},\n" : "}\n";
  }
  out += ']';
  return out;
}

std::string vocab_list_text(const VocabList& vocab) {
  const std::vector<TokenId> ids = vocab.ids();
  std::string out = "[\n";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto bytes = vocab.find(ids[i]);
    if (!bytes) fail_internal("vocab_list should contain all keys in iteration");
    out += "  {\"id\":";
    append_number(out, ids[i]);
    out += ",\"bytes\":[";
    for (std::size_t k = 0; k < bytes->size(); ++k) {
      if (k > 0) out += ',';
      append_number(out, (*bytes)[k]);
    }
    out += i + 1 < ids.size() ? "]},\n" : "]}\n";
  }
  out += ']';
  return out;
}

std::vector<SpecialToken> special_tokens_after(const VocabList& vocab,
                                               std::span<const std::string> texts) {
  const std::vector<TokenId> ids = vocab.ids();
  std::size_t next = ids.empty() ? 0 : std::size_t{ids.back()} + 1;
  std::vector<SpecialToken> out;
  for (const std::string& text : texts) out.push_back({text, static_cast<TokenId>(next++)});
  return out;
}

namespace {

// |text| (valid UTF-8) as json.dumps writes a str, quotes included.
void append_json_string(std::string& out, std::string_view text) {
  constexpr char HEX[] = "0123456789abcdef";
  const auto escape = [&](unsigned unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(unit >> shift) & 15];
  };
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      switch (lead) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (lead < 0x20 || lead == 0x7f) {
            escape(lead);
          } else {
            out += static_cast<char>(lead);
          }
      }
      continue;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    unsigned code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      escape(0xD800 + (code >> 10));
      escape(0xDC00 + (code & 0x3FF));
    } else {
      escape(code);
    }
  }
  out += '"';
}

}  // namespace

std::string special_tokens_text(std::span<const SpecialToken> specials) {
  std::vector<const SpecialToken*> order;
  for (const SpecialToken& t : specials) order.push_back(&t);
  std::sort(order.begin(), order.end(),
            [](const SpecialToken* a, const SpecialToken* b) { return a->id < b->id; });
  std::string out = "[\n";
  for (std::size_t i = 0; i < order.size(); ++i) {
    out += "  {\"id\":";
    append_number(out, order[i]->id);
    out += ",\"text\":";
    append_json_string(out, order[i]->text);
    out += i + 1 < order.size() ? "},\n" : "}\n";
  }
  out += ']';
  return out;
}

namespace {

// The new text of one file, written and flushed to a temporary file beside
// it; commit() renames it over the target. Dropped uncommitted, the
// temporary file goes and the target stays as it was.
class StagedFile {
 public:
  // Messages name the target |shown|.
  std::optional<Error> stage(std::string_view dir, std::string_view target,
                             std::string_view shown, std::string_view text);
  std::optional<Error> commit();

 private:
  std::string shown_;
  std::string dir_path_;
  std::string target_;
  std::optional<TempFile> temp_;
};

std::optional<Error> StagedFile::stage(std::string_view dir, std::string_view target,
                                       std::string_view shown, std::string_view text) {
  const std::string_view path = shown;
  shown_ = std::string(path);
  dir_path_ = std::string(dir);
  target_ = std::string(target);
  if (const int err = make_dir(dir_path_)) return write_error(path, os_error_text(err));

  // A target that could not be opened for writing in place (a directory, a
  // file we may not write) fails as it would have, before anything changes.
  // An existing file keeps its permission bits, and a symbolic link keeps
  // pointing where it did: the file it names is the one replaced.
  std::optional<mode_t> mode;
  {
    const Fd existing(::open(target_.c_str(), O_WRONLY | O_CLOEXEC));
    if (existing.get() < 0 && errno != ENOENT) return write_error(path, os_error_text(errno));
    struct stat st {};
    if (existing.get() >= 0 && ::fstat(existing.get(), &st) == 0) mode = st.st_mode & 07777;
    struct stat link {};
    if (existing.get() >= 0 && ::lstat(target_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      std::string resolved(PATH_MAX, '\0');
      if (::realpath(target_.c_str(), resolved.data()) == nullptr) {
        return write_error(path, os_error_text(errno));
      }
      resolved.resize(std::strlen(resolved.c_str()));
      target_ = resolved;
      dir_path_ = target_.substr(0, target_.rfind('/'));
    }
  }

  static std::atomic<unsigned> serial{0};
  std::string temp_path;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp_path = dir_path_ + "/." + target_.substr(target_.rfind('/') + 1) + ".tmp." +
                std::to_string(::getpid()) + "." + std::to_string(serial++);
    // The kernel applies the umask, as for the file written in place.
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 100)) return write_error(path, os_error_text(errno));
  }
  Fd file(fd);
  temp_.emplace(std::move(temp_path));
  if (mode && ::fchmod(file.get(), *mode) != 0) return write_error(path, os_error_text(errno));
  if (auto failure = write_all(file.get(), text)) return write_error(path, *failure);
  if (::fsync(file.get()) != 0) return write_error(path, os_error_text(errno));
  if (file.close() != 0) return write_error(path, os_error_text(errno));
  return std::nullopt;
}

std::optional<Error> StagedFile::commit() {
  if (::rename(temp_->path().c_str(), target_.c_str()) != 0) {
    return write_error(shown_, os_error_text(errno));
  }
  temp_->keep();
  // Make the rename itself durable.
  const Fd directory(::open(dir_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
  return std::nullopt;
}

std::string joined(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace

std::optional<Error> replace_file(std::string_view dir, std::string_view path,
                                  std::string_view text) {
  StagedFile file;
  if (auto error = file.stage(dir, path, path, text)) return error;
  return file.commit();
}

std::optional<Error> write_records(std::string_view workdir, std::span<const Merge> merges,
                                   const VocabList& vocab, std::span<const SpecialToken> specials) {
  const std::string dir = joined(workdir, RECORD_DIR);
  StagedFile merges_file;
  StagedFile vocab_file;
  StagedFile specials_file;
  if (auto error = merges_file.stage(dir, joined(dir, MERGES_RECORD), MERGES_RECORD_PATH,
                                     merges_record_text(merges))) {
    return error;
  }
  if (auto error = vocab_file.stage(dir, joined(dir, VOCAB_LIST), VOCAB_LIST_PATH,
                                    vocab_list_text(vocab))) {
    return error;
  }
  const std::string specials_path = joined(dir, SPECIAL_TOKENS);
  if (!specials.empty()) {
    if (auto error = specials_file.stage(dir, specials_path, SPECIAL_TOKENS_PATH,
                                         special_tokens_text(specials))) {
      return error;
    }
  } else if (::unlink(specials_path.c_str()) != 0 && errno != ENOENT) {
    return Error{ErrorKind::Io, "failed to remove " + std::string(SPECIAL_TOKENS_PATH) + ": " +
                                    os_error_text(errno)};
  }
  if (auto error = merges_file.commit()) return error;
  if (auto error = vocab_file.commit()) return error;
  if (!specials.empty()) return specials_file.commit();
  return std::nullopt;
}

std::optional<Error> write_merges_record(std::span<const Merge> merges) {
  return replace_file(RECORD_DIR, MERGES_RECORD_PATH, merges_record_text(merges));
}

std::optional<Error> write_vocab_list(const VocabList& vocab) {
  return replace_file(RECORD_DIR, VOCAB_LIST_PATH, vocab_list_text(vocab));
}

}  // namespace ovilex
