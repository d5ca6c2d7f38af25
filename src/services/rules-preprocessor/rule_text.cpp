#include "rule_text.h"

#include <fmt/format.h>

#include <boost/regex.hpp>
#include <iterator>

#include "service_trace.h"
#include "talvoro/timestamp_line.h"

namespace talvoro {
namespace {

// Resolves one placeholder match against the IO structure.
struct PlaceholderResolver {
  const IoStructure& structure;
  P7::TraceChannel& trace;

  std::string operator()(const boost::smatch& match) const {
    const std::string kind = match[1].str();
    const std::string key = match[2].str();
    const auto found = structure.find(key);
    if (found == structure.end()) {
      throw UnresolvedPlaceholder(key);
    }
    const IoInfo& element = *found->second;
    if (kind == "DEVICE") {
      return element.deviceName;
    }
    if (kind == "VIRTUAL_DEVICE") {
      return element.virtualDeviceName;
    }
    if (kind == "PORT") {
      return fmt::format("{}", element.port);
    }
    const auto cells = element.getCells();
    if (cells.empty()) {
      TRACE_AS(__func__, trace, Error, "Ячеек для %s нет вообще. Что делать?", key.c_str());
      throw UnresolvedPlaceholder(key);
    }
    if (cells.size() > 1) {
      TRACE_AS(__func__, trace, Warning,
               "Количество ячеек для %s больше одной. Наугад выберу первую.", key.c_str());
    }
    return *cells.begin();
  }
};

}  // namespace

std::string translate(std::string text, const IoStructure& structure) {
  P7::TraceChannel& trace = *P7::getTrace();
  static const boost::regex placeholder(
      R"(((?:DEVICE)|(?:CELL)|(?:VIRTUAL_DEVICE)|(?:PORT))_NAME\(([\d\w]+)\))");
  std::string translated;
  // Most texts keep their length: one allocation, never a doubling copy.
  translated.reserve(text.size());
  boost::regex_replace(std::back_inserter(translated), text.cbegin(), text.cend(), placeholder,
                       PlaceholderResolver{structure, trace});
  return translated;
}

long long extractEpochTsOrZero(const std::string& text) {
  const auto line = protocol::findTimestampLine(text);
  return line ? line->seconds : 0;
}

}  // namespace talvoro
