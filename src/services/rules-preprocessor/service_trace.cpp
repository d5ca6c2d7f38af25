#include "service_trace.h"

#include "talvoro/files/utf8_cut.h"

namespace talvoro {

std::string excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return std::string(text);
  }
  return std::string(text.substr(0, files::utf8CutLength(text, limit))) + "...";
}

}  // namespace talvoro
