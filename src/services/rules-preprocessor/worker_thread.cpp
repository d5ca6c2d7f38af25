#include "worker_thread.h"

#include <utility>

namespace talvoro {

WorkerThread::WorkerThread() : thread_([this] { serve(); }) {}

WorkerThread::~WorkerThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

std::future<void> WorkerThread::run(std::function<void()> task) {
  std::packaged_task<void()> packaged(std::move(task));
  std::future<void> end = packaged.get_future();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !task_; });
    task_ = std::move(packaged);
  }
  wake_.notify_all();
  return end;
}

void WorkerThread::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return task_ || stopping_; });
    if (!task_) {
      return;
    }
    std::packaged_task<void()> task = std::move(*task_);
    lock.unlock();
    task();  // what it throws goes to its future
    lock.lock();
    task_.reset();
    wake_.notify_all();
  }
}

}  // namespace talvoro
