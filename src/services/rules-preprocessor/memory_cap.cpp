#include "memory_cap.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace talvoro {
namespace {

// Each block starts with its size; the header keeps the payload aligned as
// malloc's own blocks are.
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::size_t& sizeOf(void* block) {
  return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - kHeader);
}

void* payloadOf(void* raw) { return static_cast<char*>(raw) + kHeader; }
void* rawOf(void* block) { return static_cast<char*>(block) - kHeader; }

}  // namespace

bool MemoryCap::fits(std::size_t held, std::size_t wanted) {
  // `wanted` may be any size_t an engine asks for: no sum may wrap.
  if (wanted > cap_ || kHeader + wanted > cap_ - (used_ - held)) {
    refused_ = true;
    return false;
  }
  return true;
}

void* MemoryCap::allocate(std::size_t size) { return reallocate(nullptr, size); }

void* MemoryCap::reallocate(void* block, std::size_t size) {
  const std::size_t held = block != nullptr ? kHeader + sizeOf(block) : 0;
  if (!fits(held, size)) {
    return nullptr;
  }
  void* raw = std::realloc(block != nullptr ? rawOf(block) : nullptr, kHeader + size);
  if (raw == nullptr) {
    refused_ = true;
    return nullptr;
  }
  *static_cast<std::size_t*>(raw) = size;
  used_ = used_ - held + kHeader + size;
  peak_ = std::max(peak_, used_);
  return payloadOf(raw);
}

void MemoryCap::release(void* block) noexcept {
  if (block == nullptr) {
    return;
  }
  used_ -= kHeader + sizeOf(block);
  std::free(rawOf(block));
}

}  // namespace talvoro
