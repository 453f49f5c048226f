#include "pool.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include "tokenizer/types.h"

namespace ovilex::pool {

namespace {

// One offered piece of work. It lives on the stack of the thread that
// offered it, which does not return before the task is done.
struct Task {
  const std::function<void()>* fn;
  std::exception_ptr error;
  bool done = false;  // guarded by State::mutex
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;  // a task was queued or finished
  std::deque<Task*> queue;
  std::size_t workers = 0;
};

void run_task(Task& task) noexcept {
  try {
    (*task.fn)();
  } catch (...) {
    task.error = std::current_exception();
  }
}

void finish(State& state, Task& task) {
  {
    const std::lock_guard lock(state.mutex);
    task.done = true;
  }
  state.changed.notify_all();
}

// The pool a worker belongs to; jobs that fork run on workers.
thread_local State* current = nullptr;

void worker_loop(std::shared_ptr<State> state) {
  current = state.get();
  for (;;) {
    Task* task = nullptr;
    {
      std::unique_lock lock(state->mutex);
      state->changed.wait(lock, [&] { return !state->queue.empty(); });
      task = state->queue.front();
      state->queue.pop_front();
    }
    run_task(*task);
    finish(*state, *task);
  }
}

std::size_t wanted_workers() {
  if (const char* env = std::getenv("OVILEX_NUM_THREADS")) {
    // Digits only: a sign, spaces or trailing text fall back to the default.
    const std::string_view text(env);
    unsigned long n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error == std::errc() && end == text.data() + text.size() && n > 0) {
      return std::min<unsigned long>(n, 1024);
    }
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

struct Pool {
  // Shared with the workers, which outlive every static: the pool is never
  // shut down, and its sleeping workers end with the process.
  std::shared_ptr<State> state;
  std::string failure;  // why no worker could be started
  pid_t owner = 0;      // the process whose threads the workers are
  std::size_t wanted = 0;
};

// Starts the workers still missing. Memory running out ends the call, and
// the workers started so far stay in the pool for a later call to complete
// (a worker, once started, cannot be taken back). A thread that the system
// refuses ends the starting for good: the pool keeps the workers it has.
void start_workers(Pool& p) {
  while (p.state->workers < p.wanted) {
    try {
      std::thread(worker_loop, p.state).detach();
    } catch (const std::system_error& e) {
      if (p.state->workers == 0) p.failure = e.what();
      p.wanted = p.state->workers;
      return;
    }
    ++p.state->workers;
  }
}

State& state() {
  static std::mutex guard;
  static Pool pool;
  // A child of fork() has none of its parent's threads: it starts workers of
  // its own. The parent's pool state is left as it is (its mutex may have
  // been held by a thread that did not survive the fork).
  static std::vector<std::shared_ptr<State>> abandoned;
  const std::lock_guard lock(guard);
  if (!pool.state || pool.owner != ::getpid()) {
    auto fresh = std::make_shared<State>();
    if (pool.state) abandoned.push_back(std::move(pool.state));
    pool = Pool{std::move(fresh), {}, ::getpid(), wanted_workers()};
  }
  start_workers(pool);
  if (pool.state->workers == 0) {
    fail_internal("The global thread pool has not been initialized.: " + pool.failure);
  }
  return *pool.state;
}

}  // namespace

std::size_t thread_count() { return state().workers; }

void run_on_pool(const std::function<void()>& job) {
  State& s = state();
  Task task{&job, nullptr};
  {
    const std::lock_guard lock(s.mutex);
    s.queue.push_back(&task);
  }
  s.changed.notify_all();
  {
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] { return task.done; });
  }
  if (task.error) std::rethrow_exception(task.error);
}

void fork_join(const std::function<void()>& first, const std::function<void()>& second) {
  State& s = current != nullptr ? *current : state();
  Task offered{&second, nullptr};
  {
    const std::lock_guard lock(s.mutex);
    s.queue.push_back(&offered);
  }
  s.changed.notify_one();

  std::exception_ptr first_error;
  try {
    first();
  } catch (...) {
    first_error = std::current_exception();
  }

  // Take the offer back if no one has; else help with queued work until the
  // worker that took it is done.
  std::unique_lock lock(s.mutex);
  const auto mine = std::find(s.queue.begin(), s.queue.end(), &offered);
  if (mine != s.queue.end()) {
    s.queue.erase(mine);
    lock.unlock();
    run_task(offered);
    lock.lock();
    offered.done = true;
  }
  while (!offered.done) {
    if (!s.queue.empty()) {
      Task* other = s.queue.back();
      s.queue.pop_back();
      lock.unlock();
      run_task(*other);
      finish(s, *other);
      lock.lock();
    } else {
      s.changed.wait(lock);
    }
  }
  lock.unlock();
  if (first_error) std::rethrow_exception(first_error);
  if (offered.error) std::rethrow_exception(offered.error);
}

}  // namespace ovilex::pool
