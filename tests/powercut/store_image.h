#pragma once
// The service's state store as the proof reads it: the IO structure it names and a row per rule.

#include <cstdint>
#include <string>
#include <vector>

namespace powercut {

struct StoredRow {
  std::string name;
  std::string text;
  std::uint32_t crc = 0;
  std::string structure;
  std::string file;
};

struct StoreImage {
  std::string structure;  // the hash in the structure table; empty when it has none
  std::vector<StoredRow> rules;
};

// Reads the store at `path` read-only (beside the service that has it open); throws
// std::runtime_error with SQLite's message when it cannot.
StoreImage readStore(const std::string& path);

}  // namespace powercut
