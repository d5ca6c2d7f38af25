#include "rule_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <iterator>

#include "service_trace.h"
#include "talvoro/timestamp_line.h"

namespace talvoro {
namespace {

// Why a name or port that a placeholder resolved to is likely not meant:
// empty when it is a value the element gave.
std::string emptyValueNote(const std::string& placeholder, const std::string& value,
                           bool given, const char* member) {
  if (given && !value.empty()) {
    return {};
  }
  return given ? fmt::format("{} is \"\": the element's \"{}\" is empty", placeholder, member)
               : fmt::format("{} is {}: the element has no \"{}\"", placeholder,
                             value.empty() ? "\"\"" : value, member);
}

// Resolves one placeholder match against the IO structure.
struct PlaceholderResolver {
  const IoStructure& structure;
  P7::TraceChannel& trace;
  std::vector<std::string>* notes;

  std::string operator()(const boost::smatch& match) const {
    const std::string kind = match[1].str();
    const std::string key = match[2].str();
    const auto found = structure.find(key);
    if (found == structure.end()) {
      throw UnresolvedPlaceholder(key);
    }
    const IoInfo& element = *found->second;
    if (kind == "DEVICE") {
      return noted(match, element.deviceName, element.givenMembers & IoInfo::kGivenDevice,
                   "device");
    }
    if (kind == "VIRTUAL_DEVICE") {
      return noted(match, element.virtualDeviceName,
                   element.givenMembers & IoInfo::kGivenVirtualDevice, "virtualDevice");
    }
    if (kind == "PORT") {
      return noted(match, fmt::format("{}", element.port),
                   element.givenMembers & IoInfo::kGivenPort, "port");
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

  std::string noted(const boost::smatch& match, std::string value, bool given,
                    const char* member) const {
    if (notes != nullptr) {
      std::string note = emptyValueNote(match.str(), value, given, member);
      if (!note.empty() && std::find(notes->begin(), notes->end(), note) == notes->end()) {
        notes->push_back(std::move(note));
      }
    }
    return value;
  }
};

}  // namespace

std::string translate(std::string text, const IoStructure& structure,
                      std::vector<std::string>* emptyPlaceholders) {
  P7::TraceChannel& trace = *P7::getTrace();
  static const boost::regex placeholder(
      R"(((?:DEVICE)|(?:CELL)|(?:VIRTUAL_DEVICE)|(?:PORT))_NAME\(([\d\w]+)\))");
  std::string translated;
  // Most texts keep their length: one allocation, never a doubling copy.
  translated.reserve(text.size());
  boost::regex_replace(std::back_inserter(translated), text.cbegin(), text.cend(), placeholder,
                       PlaceholderResolver{structure, trace, emptyPlaceholders});
  return translated;
}

long long extractEpochTsOrZero(const std::string& text) {
  const auto line = protocol::findTimestampLine(text);
  return line ? line->seconds : 0;
}

}  // namespace talvoro
