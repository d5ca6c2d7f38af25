#pragma once
// Resident memory of the benchmark process, read from /proc/self/status.

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace bench {

struct Memory {
  double rss = 0;  // VmRSS, bytes
  double hwm = 0;  // VmHWM, bytes
};

inline Memory readMemory() {
  Memory memory;
  std::ifstream status("/proc/self/status");
  std::string field;
  double kilobytes = 0;
  while (status >> field) {
    if (field == "VmRSS:" && status >> kilobytes) {
      memory.rss = kilobytes * 1024;
    } else if (field == "VmHWM:" && status >> kilobytes) {
      memory.hwm = kilobytes * 1024;
    }
  }
  return memory;
}

// Sets VmHWM back to the current resident size.
inline void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

inline benchmark::Counter bytes(double value) {
  return benchmark::Counter(value, benchmark::Counter::kDefaults,
                            benchmark::Counter::OneK::kIs1024);
}

}  // namespace bench
