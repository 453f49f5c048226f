// Count files (the format is described in count_file.h): a buffered reader
// that checks as it goes, a writer that stages the file beside its target,
// and the three operations on them.
#include "count_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <queue>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/decode.h"
#include "tokenizer/fd.h"

namespace ovilex::engine {

namespace {

constexpr std::array<char, 8> MAGIC = {'\x89', 'O', 'V', 'X', 'C', 'N', 'T', '\n'};
constexpr std::array<char, 8> END = {'\n', 'T', 'N', 'C', 'X', 'V', 'O', '\x89'};
constexpr std::size_t HEADER = 36;
// Entry overhead: the length before the chunk and the count after it.
constexpr std::uint64_t ENTRY = 12;
// Per open file: a merge of k files holds k of these.
constexpr std::size_t BUFFER = std::size_t{128} << 10;

std::string strerror_text(int code) {
  char buf[256];
  return strerror_r(code, buf, sizeof buf);
}

Error os_error(const char* what, const std::string& path, int code) {
  return Error{ErrorKind::Io, std::string(what) + " " + path + ": " + strerror_text(code)};
}

Error file_error(const std::string& path, std::string_view what) {
  return Error{ErrorKind::CountFile, path + ": " + std::string(what)};
}

Error damaged(const std::string& path, std::string_view what) {
  return file_error(path, "damaged count file (" + std::string(what) + ")");
}

constexpr std::string_view TRUNCATED = "truncated count file";
constexpr std::string_view TOO_LARGE = "the counts add up to more than 2**64-1";
constexpr std::string_view MISMATCH = "entries do not match the header";
constexpr std::string_view BAD_TOTAL = "counts do not add up to the header's total";

template <class T>
void put_le(char* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<char>(value >> (8 * i));
}

template <class T>
T get_le(const char* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<unsigned char>(in[i])) << (8 * i);
  }
  return value;
}

// One count file, read front to back and checked on the way.
class Reader {
 public:
  Reader(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  // The file opened, its header and size checked.
  static Result<std::unique_ptr<Reader>> open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return os_error("cannot read", path, errno);
    auto reader = std::make_unique<Reader>(path, fd);
    if (auto error = reader->start()) return std::move(*error);
    return reader;
  }

  const CountFileInfo& info() const noexcept { return info_; }
  std::string_view chunk() const noexcept { return chunk_; }
  std::uint64_t count() const noexcept { return count_; }

  // The next entry into chunk() and count(); false after the last one,
  // once the rest of the file is checked too.
  Result<bool> next() {
    if (entries_left_ == 0) {
      if (entry_bytes_left_ != 0) return damaged(path_, MISMATCH);
      if (sum_ != info_.total) return damaged(path_, BAD_TOTAL);
      char end[END.size()];
      if (auto error = take(end, sizeof end)) return std::move(*error);
      if (std::memcmp(end, END.data(), END.size()) != 0) return damaged(path_, "no end marker");
      return false;
    }
    char field[8];
    if (entry_bytes_left_ < ENTRY) return damaged(path_, MISMATCH);
    if (auto error = take(field, 4)) return std::move(*error);
    const auto length = get_le<std::uint32_t>(field);
    if (length > entry_bytes_left_ - ENTRY) return damaged(path_, MISMATCH);
    previous_.swap(chunk_);
    chunk_.resize(length);
    if (auto error = take(chunk_.data(), length)) return std::move(*error);
    if (auto error = take(field, 8)) return std::move(*error);
    count_ = get_le<std::uint64_t>(field);
    entry_bytes_left_ -= ENTRY + length;
    --entries_left_;
    if (count_ == 0) return damaged(path_, "a count of 0");
    if (started_ && !(previous_ < chunk_)) return damaged(path_, "chunks out of order");
    started_ = true;
    const auto bytes = std::as_bytes(std::span(chunk_));
    if (validate_utf8({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()})) {
      return damaged(path_, "a chunk that is not UTF-8");
    }
    // Never past the header's total, so that sums of checked files fit.
    if (__builtin_add_overflow(sum_, count_, &sum_) || sum_ > info_.total) {
      return damaged(path_, BAD_TOTAL);
    }
    return true;
  }

 private:
  std::optional<Error> start() {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return os_error("cannot read", path_, errno);
    if (S_ISDIR(st.st_mode)) return os_error("cannot read", path_, EISDIR);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    char header[HEADER];
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(size, HEADER));
    if (auto error = take(header, have)) return error;
    // A proper prefix of a count file is a truncated one, down to nothing.
    if (std::memcmp(header, MAGIC.data(), std::min(have, MAGIC.size())) != 0) {
      return file_error(path_, "not an ovilex count file");
    }
    if (have < 12) return file_error(path_, TRUNCATED);
    if (const auto version = get_le<std::uint32_t>(header + 8); version != COUNT_FILE_VERSION) {
      return file_error(path_, "count file format version " + std::to_string(version) +
                                   "; this ovilex reads version " +
                                   std::to_string(COUNT_FILE_VERSION));
    }
    if (have < HEADER) return file_error(path_, TRUNCATED);
    info_.distinct = get_le<std::uint64_t>(header + 12);
    info_.total = get_le<std::uint64_t>(header + 20);
    const auto entries = get_le<std::uint64_t>(header + 28);
    const std::uint64_t rest = size - HEADER;
    if (rest < END.size() || entries > rest - END.size()) return file_error(path_, TRUNCATED);
    if (entries < rest - END.size()) return damaged(path_, "longer than its header says");
    if (info_.distinct > entries / ENTRY || info_.distinct > info_.total) {
      return damaged(path_, MISMATCH);
    }
    entry_bytes_left_ = entries;
    entries_left_ = info_.distinct;
    return std::nullopt;
  }

  // The next |n| bytes of the file into |out|.
  std::optional<Error> take(char* out, std::size_t n) {
    while (n > 0) {
      if (begin_ == end_) {
        const ssize_t got = ::read(fd_.get(), buffer_.get(), BUFFER);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return os_error("cannot read", path_, errno);
        // Shorter than the size it had when opened.
        if (got == 0) return file_error(path_, TRUNCATED);
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
      }
      const std::size_t m = std::min(n, end_ - begin_);
      std::memcpy(out, buffer_.get() + begin_, m);
      out += m;
      begin_ += m;
      n -= m;
    }
    return std::nullopt;
  }

  std::string path_;
  Fd fd_;
  std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(BUFFER);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  CountFileInfo info_;
  std::uint64_t entry_bytes_left_ = 0;
  std::uint64_t entries_left_ = 0;
  std::uint64_t sum_ = 0;
  std::string chunk_;
  std::string previous_;
  std::uint64_t count_ = 0;
  bool started_ = false;
};

// A new count file, staged in a temporary file beside its target; removed
// unless finish() renamed it into place.
class Writer {
 public:
  Writer(std::string path, std::string dir, std::string temp, int fd)
      : path_(std::move(path)), dir_(std::move(dir)), temp_(std::move(temp)), fd_(fd) {
    buffer_.reserve(BUFFER);
    buffer_.resize(HEADER);  // filled in by finish()
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  static Result<std::unique_ptr<Writer>> create(const std::string& path) {
    // Renaming onto a directory would fail only after all the work.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return os_error("cannot write", path, EISDIR);
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = path.substr(dir.size());
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0;; ++attempt) {
      std::string temp = dir + "." + name + ".tmp." + std::to_string(::getpid()) + "." +
                         std::to_string(serial++);
      const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        return std::make_unique<Writer>(path, dir.empty() ? "." : dir, std::move(temp), fd);
      }
      if (errno != EEXIST || attempt > 100) return os_error("cannot write", path, errno);
    }
  }

  // Entries come in order, each chunk once, with a count of 1 or more.
  std::optional<Error> add(std::string_view chunk, std::uint64_t count) {
    if (chunk.size() > UINT32_MAX) return file_error(path_, "a chunk of 4 GiB or more");
    if (__builtin_add_overflow(info_.total, count, &info_.total)) {
      return file_error(path_, TOO_LARGE);
    }
    ++info_.distinct;
    entry_bytes_ += ENTRY + chunk.size();
    char field[8];
    put_le(field, static_cast<std::uint32_t>(chunk.size()));
    if (auto error = put({field, 4})) return error;
    if (auto error = put(chunk)) return error;
    put_le(field, count);
    return put({field, 8});
  }

  Result<CountFileInfo> finish() {
    if (auto error = put({END.data(), END.size()})) return std::move(*error);
    if (auto error = flush()) return std::move(*error);
    char header[HEADER];
    std::memcpy(header, MAGIC.data(), MAGIC.size());
    put_le(header + 8, COUNT_FILE_VERSION);
    put_le(header + 12, info_.distinct);
    put_le(header + 20, info_.total);
    put_le(header + 28, entry_bytes_);
    const ssize_t wrote = ::pwrite(fd_.get(), header, HEADER, 0);
    if (wrote != static_cast<ssize_t>(HEADER)) {
      return os_error("cannot write", path_, wrote < 0 ? errno : EIO);
    }
    if (::fsync(fd_.get()) != 0 || fd_.close() != 0 ||
        ::rename(temp_.c_str(), path_.c_str()) != 0) {
      return os_error("cannot write", path_, errno);
    }
    temp_.clear();
    // The rename itself made durable.
    const Fd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return info_;
  }

 private:
  std::optional<Error> put(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > BUFFER) {
      if (auto error = flush()) return error;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return std::nullopt;
  }

  std::optional<Error> flush() {
    std::string_view left(buffer_.data(), buffer_.size());
    while (!left.empty()) {
      const ssize_t n = ::write(fd_.get(), left.data(), left.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return os_error("cannot write", path_, n < 0 ? errno : EIO);
      left.remove_prefix(static_cast<std::size_t>(n));
    }
    buffer_.clear();
    return std::nullopt;
  }

  std::string path_;
  std::string dir_;
  std::string temp_;
  Fd fd_;
  std::vector<char> buffer_;
  CountFileInfo info_;
  std::uint64_t entry_bytes_ = 0;
};

}  // namespace

Result<CountFileInfo> write_count_file(const WordCounter& counter, const std::string& path) {
  std::vector<std::pair<std::string_view, std::uint64_t>> entries;
  entries.reserve(counter.distinct());
  counter.for_each([&](std::string_view chunk, std::uint64_t count) {
    if (count != 0) entries.emplace_back(chunk, count);
  });
  std::sort(entries.begin(), entries.end());
  Result<std::unique_ptr<Writer>> writer = Writer::create(path);
  if (!writer.ok()) return writer.error();
  for (const auto& [chunk, count] : entries) {
    if (auto error = writer.value()->add(chunk, count)) return std::move(*error);
  }
  return writer.value()->finish();
}

std::optional<Error> add_count_files(std::span<const std::string> paths, WordCounter& counter) {
  std::uint64_t total = counter.chunks();
  for (const std::string& path : paths) {
    const Result<std::unique_ptr<Reader>> reader = Reader::open(path);
    if (!reader.ok()) return reader.error();
    if (__builtin_add_overflow(total, reader.value()->info().total, &total)) {
      return file_error(path, TOO_LARGE);
    }
  }
  for (const std::string& path : paths) {
    Result<std::unique_ptr<Reader>> opened = Reader::open(path);
    if (!opened.ok()) return opened.error();
    Reader& reader = *opened.value();
    for (;;) {
      const Result<bool> more = reader.next();
      if (!more.ok()) return more.error();
      if (!more.value()) break;
      counter.add(reader.chunk(), reader.count());
    }
  }
  return std::nullopt;
}

Result<CountFileInfo> merge_count_files(std::span<const std::string> paths,
                                        const std::string& out) {
  std::vector<std::unique_ptr<Reader>> readers;
  std::uint64_t total = 0;
  for (const std::string& path : paths) {
    Result<std::unique_ptr<Reader>> reader = Reader::open(path);
    if (!reader.ok()) return reader.error();
    // Each reader keeps its counts within its header's total: with the
    // totals fitting, so does every sum below.
    if (__builtin_add_overflow(total, reader.value()->info().total, &total)) {
      return file_error(path, TOO_LARGE);
    }
    readers.push_back(std::move(reader).value());
  }
  Result<std::unique_ptr<Writer>> writer = Writer::create(out);
  if (!writer.ok()) return writer.error();

  // The readers that hold an entry, the least chunk on top.
  const auto later = [&](std::size_t a, std::size_t b) {
    return readers[a]->chunk() > readers[b]->chunk();
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> heap(later);
  const auto advance = [&](std::size_t i) -> std::optional<Error> {
    const Result<bool> more = readers[i]->next();
    if (!more.ok()) return more.error();
    if (more.value()) heap.push(i);
    return std::nullopt;
  };
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (auto error = advance(i)) return std::move(*error);
  }
  std::string chunk;
  while (!heap.empty()) {
    std::size_t i = heap.top();
    heap.pop();
    chunk.assign(readers[i]->chunk());
    std::uint64_t count = readers[i]->count();
    if (auto error = advance(i)) return std::move(*error);
    while (!heap.empty() && readers[heap.top()]->chunk() == chunk) {
      i = heap.top();
      heap.pop();
      count += readers[i]->count();
      if (auto error = advance(i)) return std::move(*error);
    }
    if (auto error = writer.value()->add(chunk, count)) return std::move(*error);
  }
  return writer.value()->finish();
}

}  // namespace ovilex::engine
