#include "pool/pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tokenizer/types.h"

namespace ovilex {
namespace {

std::size_t processors() {
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

// --- Size -----------------------------------------------------------------

TEST(PoolSize, AtLeastOneAndStable) {
  const std::size_t n = pool::thread_count();
  EXPECT_GE(n, 1u);
  if (std::getenv("OVILEX_NUM_THREADS") == nullptr) {
    EXPECT_EQ(n, processors());
  }
  pool::run_on_pool([] {});
  EXPECT_EQ(pool::thread_count(), n);
}

// The pool must not exist yet when the variable is set, so each case runs in
// a fresh process of its own.
struct EnvCase {
  const char* name;
  const char* value;
  std::size_t expected;  // 0: the number of logical processors
};

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class PoolSizeFromEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PoolSizeFromEnvironment, ReadOnceAtCreation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const EnvCase& c = GetParam();
  const std::size_t expected = c.expected == 0 ? processors() : c.expected;
  EXPECT_EXIT(
      {
        ::setenv("OVILEX_NUM_THREADS", c.value, 1);
        const std::size_t first = pool::thread_count();
        // Read once: a later change does not resize the pool.
        ::setenv("OVILEX_NUM_THREADS", first == 5 ? "6" : "5", 1);
        pool::run_on_pool([] {});
        std::fprintf(stderr, "threads=%zu then %zu\n", first, pool::thread_count());
        std::fflush(stderr);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "threads=" + std::to_string(expected) + " then " + std::to_string(expected) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Values, PoolSizeFromEnvironment,
                         ::testing::Values(EnvCase{"One", "1", 1}, EnvCase{"Three", "3", 3},
                                           EnvCase{"SixtyFour", "64", 64},
                                           EnvCase{"Zero", "0", 0}, EnvCase{"Empty", "", 0},
                                           EnvCase{"Word", "many", 0},
                                           EnvCase{"Trailing", "3x", 0},
                                           EnvCase{"Negative", "-2", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- run_on_pool ------------------------------------------------------------

TEST(RunOnPool, RunsOnAWorker) {
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ran_on;
  pool::run_on_pool([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_NE(ran_on, std::thread::id{});
  EXPECT_NE(ran_on, caller);
}

TEST(RunOnPool, RethrowsAndStaysUsable) {
  EXPECT_THROW(
      {
        try {
          pool::run_on_pool([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "boom");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(pool::run_on_pool([] { throw InternalError("broken"); }), InternalError);
  int ran = 0;
  pool::run_on_pool([&] { ++ran; });
  EXPECT_EQ(ran, 1);
}

// Several threads outside the pool may hand it jobs at once.
TEST(RunOnPool, ConcurrentCallers) {
  std::vector<std::thread> callers;
  std::vector<std::size_t> sums(4, 0);
  for (std::size_t t = 0; t < sums.size(); ++t) {
    callers.emplace_back([&sums, t] {
      for (int round = 0; round < 20; ++round) {
        sums[t] += pool::parallel_reduce<std::size_t>(
            1000, 3, [](std::size_t b, std::size_t e) { return (e - b) * (b + e - 1) / 2; },
            [](std::size_t& into, std::size_t&& from) { into += from; });
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (const std::size_t s : sums) EXPECT_EQ(s, 20u * 999 * 1000 / 2);
}

// --- fork_join --------------------------------------------------------------

TEST(ForkJoin, RunsBothSides) {
  for (int round = 0; round < 200; ++round) {
    bool first = false;
    bool second = false;
    pool::run_on_pool([&] { pool::fork_join([&] { first = true; }, [&] { second = true; }); });
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
  }
}

// The side that fails throws at once; the other is still busy when that
// happens and must have finished before the failure reaches the caller.
class ForkJoinFailure : public ::testing::TestWithParam<bool> {};

TEST_P(ForkJoinFailure, RethrownAfterBothSidesEnd) {
  const bool first_fails = GetParam();
  for (int round = 0; round < 5; ++round) {
    std::atomic<bool> other_done{false};
    const auto fail = [] { throw std::runtime_error("side failed"); };
    const auto slow = [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      other_done = true;
    };
    try {
      pool::run_on_pool([&] {
        if (first_fails) {
          pool::fork_join(fail, slow);
        } else {
          pool::fork_join(slow, fail);
        }
      });
      ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "side failed");
      EXPECT_TRUE(other_done) << "rethrown before the other side ended";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Side, ForkJoinFailure, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "First" : "Second"; });

TEST(ForkJoin, BothSidesFailOneFailureArrives) {
  try {
    pool::run_on_pool([] {
      pool::fork_join([] { throw std::runtime_error("first"); },
                      [] { throw std::runtime_error("second"); });
    });
    ADD_FAILURE() << "nothing thrown";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_TRUE(what == "first" || what == "second") << what;
  }
}

// A long chain of nested joins: each level waits for its own second half
// while deeper levels keep offering more.
void chain(int depth, std::atomic<int>& count) {
  if (depth == 0) return;
  pool::fork_join([&] { chain(depth - 1, count); }, [&] { ++count; });
}

// A full binary tree of joins.
void tree(int depth, std::atomic<int>& leaves) {
  if (depth == 0) {
    ++leaves;
    return;
  }
  pool::fork_join([&] { tree(depth - 1, leaves); }, [&] { tree(depth - 1, leaves); });
}

TEST(ForkJoin, DeepNestingCompletes) {
  std::atomic<int> count{0};
  pool::run_on_pool([&] { chain(2000, count); });
  EXPECT_EQ(count, 2000);
  std::atomic<int> leaves{0};
  pool::run_on_pool([&] { tree(14, leaves); });
  EXPECT_EQ(leaves, 1 << 14);
}

TEST(ForkJoin, NestedFailureReachesTheCaller) {
  std::atomic<int> leaves{0};
  const auto run = [&] {
    pool::run_on_pool([&] {
      pool::fork_join([&] { tree(8, leaves); },
                      [&] {
                        pool::fork_join([&] { tree(6, leaves); },
                                        [] { throw InternalError("deep"); });
                      });
    });
  };
  EXPECT_THROW(run(), InternalError);
  EXPECT_EQ(leaves, (1 << 8) + (1 << 6));
  // Still usable.
  leaves = 0;
  pool::run_on_pool([&] { tree(6, leaves); });
  EXPECT_EQ(leaves, 1 << 6);
}

// --- parallel_reduce ----------------------------------------------------------

using Range = std::pair<std::size_t, std::size_t>;

// The pieces the division must give: halves of n/2 (rounded down) and the
// rest, until a piece holds at most |grain| elements or just one.
void expected_pieces(std::size_t begin, std::size_t end, std::size_t grain,
                     std::vector<Range>& out) {
  if (end - begin <= grain || end - begin < 2) {
    out.emplace_back(begin, end);
    return;
  }
  const std::size_t mid = begin + (end - begin) / 2;
  expected_pieces(begin, mid, grain, out);
  expected_pieces(mid, end, grain, out);
}

class ParallelReduceGrain
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

// Joining lists of pieces is associative but not commutative, so the result
// shows both the division and that each join keeps first before second.
TEST_P(ParallelReduceGrain, PiecesAndJoinOrder) {
  const auto [n, grain] = GetParam();
  const auto piece = [](std::size_t b, std::size_t e) { return std::vector<Range>{{b, e}}; };
  const auto join = [](std::vector<Range>& into, std::vector<Range>&& from) {
    into.insert(into.end(), from.begin(), from.end());
  };
  std::vector<Range> expected;
  expected_pieces(0, n, grain, expected);
  EXPECT_EQ(pool::parallel_reduce<std::vector<Range>>(n, grain, piece, join), expected);

  const auto sum = [](std::size_t b, std::size_t e) {
    std::uint64_t s = 0;
    for (std::size_t i = b; i < e; ++i) s += i * i;
    return s;
  };
  std::uint64_t want = 0;
  for (std::size_t i = 0; i < n; ++i) want += i * i;
  EXPECT_EQ(pool::parallel_reduce<std::uint64_t>(
                n, grain, sum, [](std::uint64_t& into, std::uint64_t&& from) { into += from; }),
            want);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ParallelReduceGrain,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 100, 1001, 5000),
                                            ::testing::Values(1, 2, 7, 1000000)));

TEST(ParallelReduce, WhoRunsThePieces) {
  const std::thread::id caller = std::this_thread::get_id();
  const auto where = [](std::size_t, std::size_t) {
    return std::vector<std::thread::id>{std::this_thread::get_id()};
  };
  const auto join = [](std::vector<std::thread::id>& into, std::vector<std::thread::id>&& from) {
    into.insert(into.end(), from.begin(), from.end());
  };
  // Fewer than two elements: the calling thread itself.
  for (const std::size_t n : {0, 1}) {
    EXPECT_EQ(pool::parallel_reduce<std::vector<std::thread::id>>(n, 1, where, join),
              std::vector<std::thread::id>{caller});
  }
  // Otherwise the whole range is one job on the pool.
  for (const std::size_t grain : {1, 1000}) {
    const auto ran = pool::parallel_reduce<std::vector<std::thread::id>>(64, grain, where, join);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), caller), 0);
  }
}

TEST(ParallelReduce, FailureInAPiece) {
  const auto piece = [](std::size_t b, std::size_t e) {
    if (b <= 77 && 77 < e) throw InternalError("piece failed");
    return e - b;
  };
  const auto join = [](std::size_t& into, std::size_t&& from) { into += from; };
  for (const std::size_t grain : {1, 5, 1000}) {
    try {
      (void)pool::parallel_reduce<std::size_t>(200, grain, piece, join);
      ADD_FAILURE() << "nothing thrown";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "piece failed");
    }
  }
  EXPECT_EQ(pool::parallel_reduce<std::size_t>(50, 5, piece, join), 50u);
}

}  // namespace
}  // namespace ovilex
