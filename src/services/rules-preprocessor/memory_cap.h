#pragma once
// Heap memory for an embedded engine, counted and capped: an allocation that
// would take the total above the cap is refused, so that no input can make
// the engine take more than the cap.

#include <cstddef>

namespace talvoro {

// The allocator that an engine is given. Blocks come from malloc, each with a
// small header that keeps its size; what an engine still holds when it is
// torn down is returned by the engine itself, not here. Not thread-safe: one
// engine, used by one thread at a time.
class MemoryCap {
 public:
  explicit MemoryCap(std::size_t capBytes) : cap_(capBytes) {}

  // malloc, realloc and free with the cap. A size of 0 still gives a unique
  // block. A refused allocation returns nullptr, leaves a reallocated block as
  // it was and is remembered until clearRefusal().
  void* allocate(std::size_t size);
  void* reallocate(void* block, std::size_t size);
  void release(void* block) noexcept;

  std::size_t cap() const { return cap_; }
  // Bytes held now (headers included) and the most held since resetPeak().
  std::size_t used() const { return used_; }
  std::size_t peak() const { return peak_; }
  void resetPeak() { peak_ = used_; }
  // Whether an allocation was refused since clearRefusal().
  bool refused() const { return refused_; }
  void clearRefusal() { refused_ = false; }

 private:
  bool fits(std::size_t held, std::size_t wanted);

  std::size_t cap_;
  std::size_t used_ = 0;
  std::size_t peak_ = 0;
  bool refused_ = false;
};

}  // namespace talvoro
