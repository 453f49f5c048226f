#include "file_tokens.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace ovilex::engine {

namespace {

// Pieces handed to threads that count them, each count added to its
// file's. The threads are joined when it goes.
class PieceCounter {
 public:
  PieceCounter(const CompiledTokenizer& tokenizer, std::size_t threads,
               std::vector<std::uint64_t>& counts)
      : tokenizer_(tokenizer), most_(threads + 1), counts_(counts) {
    for (std::size_t t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
  }
  PieceCounter(const PieceCounter&) = delete;
  PieceCounter& operator=(const PieceCounter&) = delete;
  ~PieceCounter() {
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
    }
    work_.notify_all();
    // The workers, the last member, are joined first.
  }

  // Waits while most_ pieces are waiting or being counted. Rethrows a
  // thread's failure.
  void push(std::size_t file, std::string_view piece, bool at_start) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return failure_ || todo_.size() + busy_ < most_; });
    if (failure_) std::rethrow_exception(failure_);
    todo_.push_back({file, std::string(piece), at_start});
    work_.notify_one();
  }

  // Waits until every piece is counted. Rethrows a thread's failure.
  void finish() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return failure_ || (todo_.empty() && busy_ == 0); });
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  struct Piece {
    std::size_t file;
    std::string text;
    bool at_start;
  };

  void work() {
    for (;;) {
      Piece piece;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return closed_ || !todo_.empty(); });
        if (closed_) return;
        piece = std::move(todo_.front());
        todo_.pop_front();
        ++busy_;
      }
      std::uint64_t n = 0;
      try {
        n = tokenizer_.count_piece(piece.text, piece.at_start);
      } catch (...) {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        --busy_;
        done_.notify_all();
        return;
      }
      {
        const std::lock_guard lock(mutex_);
        counts_[piece.file] += n;
        --busy_;
      }
      done_.notify_all();
    }
  }

  const CompiledTokenizer& tokenizer_;
  const std::size_t most_;
  std::vector<std::uint64_t>& counts_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<Piece> todo_;
  std::size_t busy_ = 0;
  bool closed_ = false;
  std::exception_ptr failure_;
  std::vector<std::jthread> workers_;
};

}  // namespace

std::variant<std::vector<std::uint64_t>, text::SourceFailure> count_file_tokens(
    const CompiledTokenizer& tokenizer, std::span<const std::string> paths,
    const FileTokensOptions& options) {
  std::vector<std::uint64_t> counts(paths.size(), 0);
  const text::PieceCuts cuts = piece_cuts(tokenizer);
  const std::function<void(std::uint64_t)> on_read = [&](std::uint64_t) {
    if (options.on_read) options.on_read();
  };
  if (options.threads <= 1) {
    // Counted as read, on this thread.
    for (std::size_t i = 0; i < paths.size(); ++i) {
      bool at_start = true;
      auto failure = text::read_pieces(
          paths[i], options.block, cuts,
          [&](std::string_view piece) {
            counts[i] += tokenizer.count_piece(piece, std::exchange(at_start, false));
          },
          on_read);
      if (failure) return std::move(*failure);
    }
    return counts;
  }
  PieceCounter counter(tokenizer, options.threads, counts);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    bool at_start = true;
    auto failure = text::read_pieces(
        paths[i], options.block, cuts,
        [&](std::string_view piece) { counter.push(i, piece, std::exchange(at_start, false)); },
        on_read);
    if (failure) return std::move(*failure);
  }
  counter.finish();
  return counts;
}

}  // namespace ovilex::engine
