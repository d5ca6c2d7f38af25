#pragma once
// What the wrapper's units share about the client library's threads: which
// thread runs one of its callbacks, and how a user's callback is called there.

#include <exception>
#include <string>

namespace talvoro::mosquitto::detail {

// Set while a thread runs one of the library's callbacks: calls into the
// library from there must not be handed to the receive queue, whose threads
// would wait for the lock this thread holds.
inline thread_local bool inLibraryCallback = false;

class LibraryCallback {
 public:
  LibraryCallback() : outer_(inLibraryCallback) { inLibraryCallback = true; }
  ~LibraryCallback() { inLibraryCallback = outer_; }
  LibraryCallback(const LibraryCallback&) = delete;
  LibraryCallback& operator=(const LibraryCallback&) = delete;

 private:
  bool outer_;
};

// Calls a user's callback from a library thread; returns what it threw.
template <typename Callback, typename Data>
std::string callUserCallback(Callback callback, void* context, Data* data) noexcept {
  try {
    callback(context, data);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "callback failed";
  }
}

}  // namespace talvoro::mosquitto::detail
