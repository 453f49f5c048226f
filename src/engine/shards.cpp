#include "shards.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file_tokens.h"
#include "tokenizer/fd.h"

namespace ovilex::engine {

namespace {

// An output that could not be written, on its way to write_shards' caller.
struct WriteFailure {
  Error error;
};

// "VERB PATH: REASON", REASON that of the error number |code|.
[[noreturn]] void throw_io(std::string_view verb, const std::string& path, int code) {
  char buf[256];
  const char* reason = strerror_r(code, buf, sizeof buf);
  throw WriteFailure{Error{ErrorKind::Io, std::string(verb) + " " + path + ": " + reason}};
}

// The data file of the other width of a shard, removed once the new one is
// in place. One that could never be removed (a directory) fails at once.
class StaleOutput {
 public:
  explicit StaleOutput(std::string path) : path_(std::move(path)) {
    struct stat info;
    if (!path_.empty() && ::lstat(path_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      throw_io("cannot remove", path_, EISDIR);
    }
  }

  void remove() const {
    if (!path_.empty() && ::unlink(path_.c_str()) != 0 && errno != ENOENT) {
      throw_io("cannot remove", path_, errno);
    }
  }

 private:
  std::string path_;
};

// A file written under a temporary name beside |target| and renamed over
// it by commit(); removed unless committed.
class StagedOutput {
 public:
  explicit StagedOutput(std::string target) : target_(std::move(target)) {
    const std::size_t slash = target_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    // A target that could not be written in place (a directory, a file we
    // may not write) fails now, before anything is written.
    const Fd existing(::open(target_.c_str(), O_WRONLY | O_CLOEXEC));
    if (existing.get() < 0 && errno != ENOENT) fail(errno);
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0;; ++attempt) {
      temp_ = dir_ + "/." + target_.substr(slash + 1) + ".tmp." + std::to_string(::getpid()) + "." +
              std::to_string(serial++);
      const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_.emplace(fd);
        return;
      }
      if (errno != EEXIST || attempt > 100) {
        const int code = errno;
        temp_.clear();
        fail(code);
      }
    }
  }
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  ~StagedOutput() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  const std::string& dir() const noexcept { return dir_; }

  // |ids| as little-endian values of |width|.
  void write_ids(std::span<const TokenId> ids, IdWidth width) {
    if (width == IdWidth::Bits32) return write(ids);
    narrow_.assign(ids.begin(), ids.end());
    write(std::span<const std::uint16_t>(narrow_));
  }

  // |values| as little-endian bytes.
  template <class T>
  void write(std::span<const T> values) {
    if constexpr (std::endian::native == std::endian::little) {
      write_bytes(values.data(), values.size_bytes());
    } else {
      std::vector<unsigned char> bytes;
      bytes.reserve(values.size_bytes());
      for (const T v : values) {
        for (std::size_t i = 0; i < sizeof(T); ++i) {
          bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
      }
      write_bytes(bytes.data(), bytes.size());
    }
  }

  // Flushes the file to stable storage and closes it.
  void finish() {
    if (::fsync(fd_->get()) != 0) fail(errno);
    if (fd_->close() != 0) fail(errno);
  }

  void commit() {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(errno);
    temp_.clear();
  }

 private:
  void write_bytes(const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd_->get(), at, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(n < 0 ? errno : ENOSPC);
      at += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  [[noreturn]] void fail(int code) const { throw_io("cannot write", target_, code); }

  std::string target_;
  std::string dir_;
  std::string temp_;  // empty once renamed (or never made)
  std::vector<std::uint16_t> narrow_;
  std::optional<Fd> fd_;
};

// A stretch of a source on its way to the encoding threads, and its ids on
// their way back. A slot that ends a document holds no text.
struct Slot {
  std::size_t job = 0;
  std::string text;
  std::uint64_t bytes = 0;
  bool at_start = false;  // the first piece of its source
  bool end = false;
  bool ready = false;  // encoded (set by the thread that encoded it)
  std::vector<TokenId> ids;

  static Slot piece(std::size_t job, std::string_view text, bool at_start) {
    Slot slot;
    slot.job = job;
    slot.text = std::string(text);
    slot.bytes = text.size();
    slot.at_start = at_start;
    return slot;
  }
  static Slot end_of(std::size_t job) {
    Slot slot;
    slot.job = job;
    slot.end = slot.ready = true;
    return slot;
  }
};

// Slots handed out to threads and taken back in the order they came.
class Pipeline {
 public:
  Pipeline(const CompiledTokenizer& tokenizer, std::size_t threads) : tokenizer_(tokenizer) {
    for (std::size_t t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline() {
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
    }
    work_.notify_all();
    // The workers, the last member, are joined first.
  }

  void push(Slot slot) {
    const std::lock_guard lock(mutex_);
    slots_.push_back(std::move(slot));
    if (!slots_.back().ready) {
      todo_.push_back(&slots_.back());
      work_.notify_one();
    }
  }

  std::size_t size() {
    const std::lock_guard lock(mutex_);
    return slots_.size();
  }

  // The oldest slot once it is ready, waiting up to |wait| for it; null if
  // it is not ready by then. Rethrows a thread's failure.
  Slot* front(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return failure_ || (!slots_.empty() && slots_.front().ready); };
    done_.wait_for(lock, wait, ready);
    if (failure_) std::rethrow_exception(failure_);
    return ready() ? &slots_.front() : nullptr;
  }

  void pop() {
    const std::lock_guard lock(mutex_);
    slots_.pop_front();
  }

 private:
  // A slot keeps its place in the deque while a thread encodes it: only
  // the oldest is ever removed, and only once it is ready.
  void work() {
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return closed_ || !todo_.empty(); });
        if (closed_) return;
        slot = todo_.front();
        todo_.pop_front();
      }
      try {
        tokenizer_.encode_piece(slot->text, slot->at_start, slot->ids);
        std::string().swap(slot->text);
      } catch (...) {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        done_.notify_all();
        return;
      }
      {
        const std::lock_guard lock(mutex_);
        slot->ready = true;
      }
      done_.notify_all();
    }
  }

  const CompiledTokenizer& tokenizer_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<Slot> slots_;
  std::deque<Slot*> todo_;
  bool closed_ = false;
  std::exception_ptr failure_;
  std::vector<std::jthread> workers_;
};

// The files of a job and what has been written to them.
struct Outputs {
  explicit Outputs(const ShardJob& job) : bin(job.bin), idx(job.idx), other(job.other) {}
  StagedOutput bin;
  StagedOutput idx;
  StaleOutput other;
  std::uint64_t bytes = 0;
  std::uint64_t tokens = 0;
};

std::optional<text::SourceFailure> write_all(const CompiledTokenizer& tokenizer,
                                             std::span<const ShardJob> jobs,
                                             const ShardOptions& options) {
  const std::size_t threads = std::max<std::size_t>(1, options.threads);
  // Pieces read or encoded while the oldest is written.
  const std::size_t in_flight = threads + 2;
  std::deque<Outputs> outputs;  // declared first, removed last
  Pipeline pipeline(tokenizer, threads);
  ShardProgress progress;
  const auto report = [&] {
    if (options.on_progress) options.on_progress(progress);
  };

  const auto write = [&](Slot& slot) {
    Outputs& out = outputs[slot.job];
    out.bin.write_ids(slot.ids, options.width);
    out.bytes += slot.bytes;
    out.tokens += slot.ids.size();
    progress = {slot.job, out.bytes, out.tokens, false};
    if (!slot.end) return;
    if (options.eot) {
      out.bin.write_ids(std::span<const TokenId>(&*options.eot, 1), options.width);
      ++out.tokens;
    }
    out.idx.write(std::span<const std::uint64_t>(&out.tokens, 1));
    out.bin.finish();
    out.idx.finish();
    progress = {slot.job, out.bytes, out.tokens, true};
    report();
    // Nothing of the next job is written yet. (A report comes only while a
    // piece of a job is read or awaited, so never after the last is done.)
    progress = {slot.job + 1, 0, 0, false};
  };
  // Writes what is ready, in order, until at most |most| slots are left.
  const auto settle = [&](std::size_t most) {
    for (;;) {
      while (Slot* slot = pipeline.front(std::chrono::milliseconds(0))) {
        write(*slot);
        pipeline.pop();
      }
      if (pipeline.size() <= most) return;
      if (pipeline.front(PROGRESS_TICK) == nullptr) report();
    }
  };

  for (std::size_t j = 0; j < jobs.size(); ++j) {
    outputs.emplace_back(jobs[j]);
    bool at_start = true;
    auto failure = text::read_pieces(
        jobs[j].source, options.block, piece_cuts(tokenizer),
        [&](std::string_view piece) {
          settle(in_flight - 1);
          pipeline.push(Slot::piece(j, piece, std::exchange(at_start, false)));
        },
        [&](std::uint64_t) { report(); });
    if (failure) return failure;
    settle(in_flight - 1);
    pipeline.push(Slot::end_of(j));
  }
  settle(0);

  std::set<std::string> dirs;
  for (Outputs& out : outputs) {
    out.bin.commit();
    out.idx.commit();
    out.other.remove();
    dirs.insert(out.bin.dir());
    dirs.insert(out.idx.dir());
  }
  // The renames and removals themselves made durable.
  for (const std::string& dir : dirs) {
    const Fd directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
  }
  return std::nullopt;
}

}  // namespace

std::optional<ShardFailure> write_shards(const CompiledTokenizer& tokenizer,
                                         std::span<const ShardJob> jobs,
                                         const ShardOptions& options) {
  try {
    if (auto failure = write_all(tokenizer, jobs, options)) {
      return ShardFailure(std::move(*failure));
    }
    return std::nullopt;
  } catch (WriteFailure& f) {
    return ShardFailure(std::move(f.error));
  }
}

}  // namespace ovilex::engine
