#pragma once
// The vocabulary of the MQTT client: quality of service, its errors, what it
// reports about the link, and what a publisher learns of a publication.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace talvoro::mosquitto {

// MQTT quality-of-service levels.
enum class Qos : int {
  AtMostOnce = 0,
  AtLeastOnce = 1,
  ExactlyOnce = 2,
};

// A failure of the MQTT client library; what() names the operation, the
// object and the library's error text.
class MqttError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Receive with a time limit found no message in time.
class ReceiveTimeout : public MqttError {
 public:
  using MqttError::MqttError;
};

// Something that happened to the link to the broker, for the log. `text` is
// one line of English: the server URI and what happened, for failures with
// the broker's or the library's reason.
struct LinkEvent {
  enum class Kind {
    Connected,       // a (re)connection; after failures, how many and how long
    ConnectFailed,   // attempts failed (the first at once, then summarised)
    ConnectionLost,  // an established link broke, or the broker stopped answering
    Error,           // an error inside a callback, a publication given up
  } kind;
  std::string text;
};

// The link as the service sees it. `connection` counts the successful
// connections (CONNACKs) since construction. While the link is down,
// `lastFailure` says why, as the LinkEvent of that failure does (empty before
// the first attempt ended), and `refusedWith` is the broker's CONNACK return
// code when the last attempt was refused by the broker (4: bad user name or
// password, 5: not authorised), 0 otherwise.
struct LinkState {
  bool connected = false;
  std::uint64_t connection = 0;
  std::string lastFailure;
  int refusedWith = 0;
};

// Whom to log in as, in place of MQTT_USERNAME and MQTT_PASSWORD_FILE: a
// user name and, when not empty, the file holding the password.
struct Login {
  std::string username;
  std::string passwordFile;
};

// Told once whether a publication was delivered: true when the broker
// acknowledged it (QoS 1 and 2; QoS 0: when it was written to the socket),
// false when the library gave it up.
using DeliveryListener = std::function<void(bool delivered)>;

}  // namespace talvoro::mosquitto
