#pragma once
// A thread of its own for work that overlaps the caller's, one task at a
// time, started once so that a task costs no thread start.

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace talvoro {

class WorkerThread {
 public:
  WorkerThread();
  // Lets the task in hand end, then ends the thread.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `task` on the thread, after the one in hand; the future gives its
  // end, or what it threw.
  std::future<void> run(std::function<void()> task);

 private:
  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::packaged_task<void()>> task_;
  bool stopping_ = false;
  std::thread thread_;  // last: started once the rest is ready
};

}  // namespace talvoro
