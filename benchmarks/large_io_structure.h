#pragma once
// Generates IO structure documents of a realistic shape for benchmarks:
// 36 templates of Wiren Board-like modules and elements that use a template,
// list their own cells, or both.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace large_io_structure_detail {

struct Family {
  const char* name;        // template and device name prefix
  const char* cellPrefix;  // cells are cellPrefix + 1..channels
};

inline const std::vector<Family>& families() {
  static const std::vector<Family> all = {
      {"relay", "K"},         {"dimmer", "Channel "}, {"input", "Input "},
      {"counter", "Counter "}, {"sensor", "Sensor "}, {"valve", "Valve "}};
  return all;
}

inline const std::vector<int>& channelCounts() {
  static const std::vector<int> all = {1, 2, 3, 4, 6, 8};
  return all;
}

inline std::string templateName(const Family& family, int channels) {
  return std::string(family.name) + "-" + std::to_string(channels) + "ch";
}

inline nlohmann::json cellsOf(const Family& family, int first, int count) {
  nlohmann::json cells = nlohmann::json::array();
  for (int i = first; i < first + count; ++i) {
    cells.push_back(family.cellPrefix + std::to_string(i));
  }
  return cells;
}

inline nlohmann::json makeTemplates() {
  nlohmann::json templates = nlohmann::json::object();
  for (const auto& family : families()) {
    for (const int channels : channelCounts()) {
      templates[templateName(family, channels)] = {
          {"cells", cellsOf(family, 1, channels)}};
    }
  }
  return templates;
}

// Six of ten elements only name a template, three list their own cells and
// one does both; about five elements share a device.
inline nlohmann::json makeElement(std::size_t index) {
  const auto& family = families()[index % families().size()];
  const int channels = channelCounts()[(index / 7) % channelCounts().size()];
  const std::size_t device = index / 5;
  nlohmann::json element = {
      {"device", std::string("wb-") + family.name + "_" + std::to_string(device)},
      {"virtualDevice", "room_" + std::to_string(index / 40) + "_" + family.name}};
  const std::size_t kind = index % 10;
  if (kind < 6 || kind == 9) {
    element["template"] = templateName(family, channels);
  }
  if (kind >= 6) {
    element["port"] = static_cast<int>(index % 8) + 1;
    element["cells"] = cellsOf(family, static_cast<int>(index % 4) + 1,
                               static_cast<int>(index % 3) + 1);
  }
  return element;
}

}  // namespace large_io_structure_detail

// A document with `elements` elements and 36 templates, serialised compactly.
inline std::string makeLargeIoStructure(std::size_t elements) {
  namespace gen = large_io_structure_detail;
  nlohmann::json document = {{"templates", gen::makeTemplates()},
                             {"elements", nlohmann::json::object()}};
  auto& members = document["elements"];
  for (std::size_t i = 0; i < elements; ++i) {
    const auto& family = gen::families()[i % gen::families().size()];
    members["floor" + std::to_string(i % 3) + "_" + family.name + "_" +
            std::to_string(i)] = gen::makeElement(i);
  }
  return document.dump();
}
