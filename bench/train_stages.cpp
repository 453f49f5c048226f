// Runs the stages of a training call on chunks written by bench/bench_train.py,
// through the core's API and without Python, timing each and taking its peak
// resident memory; or, with --sequential, the straightforward merge loop.
//
//   bench_train_stages [--merges-out FILE] [--positional-from N] CHUNKS
//   bench_train_stages --sequential [--merges-out FILE] CHUNKS
//
// CHUNKS and FILE: the files of chunk_file.h. The stages:
//   words   WordCounter::add over every chunk of the file in memory, then
//           take_words
//   pairs   count_pairs (on the worker pool)
//   merges  learn_merges
//   files   write_merges_record, build_vocab, write_vocab_list, with a fresh
//           temporary directory as the current directory
// Before each stage the peak resident size of the process is reset (by
// writing 5 to /proc/self/clear_refs); after it VmHWM of /proc/self/status
// is the stage's peak, in MB of 10^6 bytes, the file and everything still
// held from earlier stages included. Then train() runs once more on its own,
// with a TrainProfile, for the count of word rewrites and as a check that
// it makes the same merges. Prints lines of key=value fields:
//   baseline rss_mb=.. file_mb=.. hwm_reset=yes|no
//   stage=words|pairs|merges|files|total seconds=.. peak_mb=..
//   counts chunks=.. bytes=.. distinct_words=.. initial_pairs=..
//          word_rewrites=.. merges=.. checksum=..
//   train seconds=.. count_pairs_seconds=.. merge_loop_seconds=..
//         records_seconds=.. identical=yes|no
// With --sequential: the word table and oracle::learn_merges_sequential
// (every pair recounted at every merge), then words, pairs and merges as
// above for comparison:
//   sequential seconds=.. chunks=.. distinct_words=.. merges=.. checksum=..
//   core seconds=.. merges=.. checksum=.. identical=yes|no
// checksum: FNV-1a (64-bit) over the merges' left, right and new ids as
// little-endian u16, in merge order. --positional-from sets the word length
// from which the merges stage indexes positions (default: train()'s). --merges-out writes the merges made
// (the sequential loop's with --sequential) as a MERGES file. The exit
// status is 1 when two merge lists differ.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chunk_file.h"
#include "oracle.h"
#include "tokenizer/records.h"
#include "tokenizer/train.h"
#include "tokenizer/types.h"

namespace {

using namespace ovilex;
using Clock = std::chrono::steady_clock;

constexpr double MB = 1e6;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in bytes ("VmHWM:    1234 kB"), or -1.
double status_bytes(std::string_view key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
      return std::strtod(line.c_str() + key.size() + 1, nullptr) * 1024;
    }
  }
  return -1;
}

// Lowers the peak resident size to the current one; false when the kernel
// does not allow it (the peaks are then those of the whole run so far).
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

struct Stage {
  const char* name;
  double seconds = 0;
  double peak_bytes = 0;
};

// Times |fn| as one stage, with the peak resident size during it.
template <class Fn>
Stage measure(const char* name, Fn&& fn) {
  reset_peak();
  const auto start = Clock::now();
  fn();
  Stage stage{name};
  stage.seconds = seconds_since(start);
  stage.peak_bytes = status_bytes("VmHWM");
  return stage;
}

// A fresh directory under the system's temporary directory, made the
// current directory for the life of the object, then removed.
class ScratchDir {
 public:
  ScratchDir() : previous_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovilex-train-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
    std::filesystem::current_path(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

void check(std::optional<Error> error) {
  if (error) throw std::runtime_error(error->message);
}

const char* yes_no(bool b) { return b ? "yes" : "no"; }

unsigned long long checksum(const std::vector<Merge>& merges) {
  return static_cast<unsigned long long>(bench::merges_checksum(merges));
}

WordCounter count_words(std::string_view data) {
  WordCounter counter;
  bench::for_each_chunk(data, [&](std::string_view chunk) { counter.add(chunk); });
  return counter;
}

int run_stages(std::string_view data, const char* merges_out, std::size_t positional_from) {
  std::printf("baseline rss_mb=%.1f file_mb=%.1f hwm_reset=%s\n", status_bytes("VmRSS") / MB,
              static_cast<double>(data.size()) / MB, yes_no(reset_peak()));

  std::size_t chunks = 0;
  std::vector<WordFreq> words;
  PairFreqs pair_freqs;
  std::vector<Merge> merges;
  std::vector<Stage> stages;
  const auto start = Clock::now();
  stages.push_back(measure("words", [&] {
    WordCounter counter = count_words(data);
    chunks = counter.chunks();
    words = std::move(counter).take_words();
  }));
  const std::size_t distinct_words = words.size();
  std::size_t bytes = 0;
  for (const WordFreq& w : words) bytes += w.word.size() * w.freq;

  stages.push_back(measure("pairs", [&] { pair_freqs = count_pairs(words); }));
  const std::size_t initial_pairs = pair_freqs.size();

  stages.push_back(measure("merges", [&] {
    merges = learn_merges(words, std::move(pair_freqs), positional_from);
    // What train() lets go before it writes the files.
    decltype(words)().swap(words);
    PairFreqs().swap(pair_freqs);
  }));

  stages.push_back(measure("files", [&] {
    const ScratchDir scratch;
    check(write_merges_record(merges));
    const VocabList vocab = build_vocab(merges);
    check(write_vocab_list(vocab));
  }));
  const double total_seconds = seconds_since(start);

  double total_peak = 0;
  for (const Stage& s : stages) {
    std::printf("stage=%s seconds=%.6f peak_mb=%.1f\n", s.name, s.seconds, s.peak_bytes / MB);
    total_peak = std::max(total_peak, s.peak_bytes);
  }
  std::printf("stage=total seconds=%.6f peak_mb=%.1f\n", total_seconds, total_peak / MB);
  std::fflush(stdout);

  // Once more in one go, for the rewrites that only train() counts.
  TrainProfile profile;
  WordCounter counter = count_words(data);
  const auto train_start = Clock::now();
  Result<std::vector<Merge>> trained = [&] {
    const ScratchDir scratch;
    return train(std::move(counter), &profile);
  }();
  const double train_seconds = seconds_since(train_start);
  if (!trained.ok()) throw std::runtime_error(trained.error().message);
  const bool identical = trained.value() == merges;

  std::printf("counts chunks=%zu bytes=%zu distinct_words=%zu initial_pairs=%zu word_rewrites=%zu "
              "merges=%zu checksum=%016llx\n",
              chunks, bytes, distinct_words, initial_pairs, profile.word_rewrites, merges.size(),
              checksum(merges));
  std::printf("train seconds=%.6f count_pairs_seconds=%.6f merge_loop_seconds=%.6f "
              "records_seconds=%.6f identical=%s\n",
              train_seconds, profile.count_pairs_seconds, profile.merge_loop_seconds,
              profile.records_seconds, yes_no(identical));
  if (merges_out != nullptr) bench::write_file(merges_out, bench::merges_file_text(merges));
  return identical ? 0 : 1;
}

int run_sequential(std::string_view data, const char* merges_out) {
  const std::vector<std::string_view> chunks = bench::parse_chunks(data);
  auto start = Clock::now();
  oracle::WordTable table = oracle::word_table(chunks);
  const std::size_t distinct_words = table.size();
  const std::vector<Merge> expected = oracle::learn_merges_sequential(table);
  const double sequential_seconds = seconds_since(start);
  std::printf("sequential seconds=%.6f chunks=%zu distinct_words=%zu merges=%zu checksum=%016llx\n",
              sequential_seconds, chunks.size(), distinct_words, expected.size(), checksum(expected));
  std::fflush(stdout);

  start = Clock::now();
  std::vector<WordFreq> words = count_words(data).take_words();
  const std::vector<Merge> merges = learn_merges(words, count_pairs(words));
  const double core_seconds = seconds_since(start);
  const bool identical = merges == expected;
  std::printf("core seconds=%.6f merges=%zu checksum=%016llx identical=%s\n", core_seconds,
              merges.size(), checksum(merges), yes_no(identical));
  if (merges_out != nullptr) bench::write_file(merges_out, bench::merges_file_text(expected));
  return identical ? 0 : 1;
}

int run(int argc, char** argv) {
  bool sequential = false;
  const char* merges_out = nullptr;
  std::vector<const char*> paths;
  std::size_t positional_from = POSITIONAL_FROM;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sequential") == 0) {
      sequential = true;
    } else if (std::strcmp(argv[i], "--merges-out") == 0 && i + 1 < argc) {
      merges_out = argv[++i];
    } else if (std::strcmp(argv[i], "--positional-from") == 0 && i + 1 < argc) {
      positional_from = std::strtoull(argv[++i], nullptr, 10);
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 1) {
    std::fprintf(stderr, "usage: bench_train_stages [--sequential] [--merges-out FILE] [--positional-from N] CHUNKS\n");
    return 2;
  }
  const std::string data = bench::read_file(paths[0]);
  return sequential ? run_sequential(data, merges_out) : run_stages(data, merges_out, positional_from);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_train_stages: %s\n", e.what());
    return 1;
  }
}
