#include "p7/detail/sink.h"

namespace P7::detail {

bool writeAndFlush(std::FILE* stream, std::string_view record) {
  const std::size_t written =
      std::fwrite(record.data(), 1, record.size(), stream);
  const bool flushed = std::fflush(stream) == 0;
  return written == record.size() && flushed;
}

bool StreamSink::write(std::string_view record) {
  return writeAndFlush(stream_, record);
}

}  // namespace P7::detail
