// MQTT topic filters: which topics a filter with "+" and "#" wildcards
// matches.
#include <string_view>

#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro::mosquitto {
namespace {

// Hands out the levels of a topic or filter one at a time.
class Levels {
 public:
  explicit Levels(std::string_view text) : rest_(text) {}

  bool done() const { return done_; }

  std::string_view next() {
    const auto slash = rest_.find('/');
    const std::string_view level = rest_.substr(0, slash);
    if (slash == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(slash + 1);
    }
    return level;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

}  // namespace

bool MqttAsyncWrapper::TopicMatches(const std::string& filter, const std::string& topic) {
  if (filter.empty() || topic.empty()) {
    return false;
  }
  // Wildcards in the first level never match the broker's own "$..." topics.
  if (topic.front() == '$' && (filter.front() == '+' || filter.front() == '#')) {
    return false;
  }
  Levels wanted(filter);
  Levels actual(topic);
  while (!wanted.done()) {
    const std::string_view level = wanted.next();
    if (level == "#") {
      return wanted.done();  // also matches the parent level itself
    }
    if (actual.done()) {
      return false;
    }
    if (const std::string_view got = actual.next(); level != "+" && level != got) {
      return false;
    }
  }
  return actual.done();
}

}  // namespace talvoro::mosquitto
