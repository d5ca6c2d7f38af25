#pragma once
// The publications of one client on their way to the broker: at most
// capacity() of them with the client library at a time, the rest waiting
// here in order; none dropped without a word.
//
// The library refuses a publication while its own buffer holds its limit of
// publish commands, connected or not, and commands drain only when its
// sending thread gets the library's lock. A publication handed over counts
// until the library answers it (the broker acknowledged it, or the library
// gave it up), which is never sooner than it leaves the library's buffer: so
// the library never refuses one for want of room. What waits here goes over
// as answers make room. A publication that the library gives up (the link
// broke before the broker acknowledged it) waits for its turn again, unless a
// retained publication on the same topic came after it; one with a
// DeliveryListener is not repeated, its listener hears false. A publication
// refused for good is reported.
//
// Thread-safe. One thread at a time hands publications over, so that they
// reach the library in the order they were made; the others leave theirs to
// it. Calls into the library happen outside the window's lock.

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::mosquitto {

class PublicationWindow {
 public:
  using Clock = std::chrono::steady_clock;

  struct Publication {
    std::string topic;
    std::string payload;
    Qos qos = Qos::AtMostOnce;
    bool retained = false;
    DeliveryListener listener;  // may be empty
  };

  // One publication handed to the library; its address is the context of the
  // library's answer until that answer came.
  class Ticket {
   public:
    const Publication& publication() const { return publication_; }
    // Hands the publication to `client`; the library's return code.
    int sendWith(MQTTAsync client) const;

   private:
    friend class PublicationWindow;
    Ticket(PublicationWindow& window, Publication publication, std::uint64_t sequence)
        : window_(window), publication_(std::move(publication)), sequence_(sequence) {}

    PublicationWindow& window_;
    Publication publication_;
    std::uint64_t sequence_;
  };

  // Hands a ticket to the library (Ticket::sendWith): its return code, or
  // nullopt when the call runs later and its result goes to issued().
  using Issue = std::function<std::optional<int>(const Ticket&)>;

  struct Hooks {
    Issue issue;
    // The broker acknowledged a publication (QoS 1 or 2).
    std::function<void()> heard;
    // Publications wait and are to be handed over from a thread of the
    // caller's (not from a library callback).
    std::function<void()> flushLater;
    // A publication given up for good, in words.
    std::function<void(const std::string&)> report;
  };

  PublicationWindow(std::size_t capacity, Hooks hooks);

  // The capacity that MQTT_PUBLICATION_WINDOW asks for, `most` when it is not
  // set. Throws MqttError unless it is a whole number from 1 to `most`.
  static std::size_t capacityFromEnvironment(std::size_t most);
  ~PublicationWindow();

  PublicationWindow(const PublicationWindow&) = delete;
  PublicationWindow& operator=(const PublicationWindow&) = delete;

  // Takes `publication` in and hands over what may go, this one included
  // unless others wait before it. Throws MqttError, naming the topic, when
  // the library at once refuses this very publication for good.
  void submit(Publication publication);

  // Hands over what waits, as far as there is room.
  void flush();

  // The library's answer to a ticket (its callbacks call this).
  void answered(const Ticket& ticket, bool delivered);
  // The late result of an Issue that returned nullopt.
  void issued(const Ticket& ticket, int rc);

  // From now on no listener is called.
  void muteListeners();
  // From now on nothing is repeated or handed over.
  void stop();

  // Hands over what waits and waits until every publication without a
  // listener is answered, as long as `linkUp` says the link is up and
  // `deadline` has not passed. Returns how many of those are left.
  std::size_t drain(Clock::time_point deadline, const std::function<bool()>& linkUp);

  std::size_t waiting() const;   // not handed over yet
  std::size_t inLibrary() const; // handed over, not answered
  std::size_t capacity() const { return capacity_; }

  // The library's callbacks for the answers; the context is the ticket.
  static void onDelivered(void* context, MQTTAsync_successData* data);
  static void onNotDelivered(void* context, MQTTAsync_failureData* data);

 private:
  using TicketPtr = std::unique_ptr<Ticket>;

  static void answer(void* context, bool delivered) noexcept;

  TicketPtr takeIssued(const Ticket& ticket);
  void handOver(std::unique_lock<std::mutex>& lock);
  bool settle(const Ticket& ticket, int rc, std::unique_lock<std::mutex>& lock);
  void wait(TicketPtr ticket);
  bool superseded(const Ticket& ticket) const;
  void finished(const Ticket& ticket);
  std::size_t undelivered() const;

  const std::size_t capacity_;
  Hooks hooks_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TicketPtr> waiting_;  // by sequence
  std::unordered_map<const Ticket*, TicketPtr> issued_;
  // Retained topics with a publication not finished: the newest one's number.
  std::unordered_map<std::string, std::uint64_t> newestRetained_;
  std::uint64_t nextSequence_ = 0;
  bool handingOver_ = false;
  bool paused_ = false;  // the library took nothing; until the next flush()
  bool muted_ = false;
  bool stopped_ = false;
};

}  // namespace talvoro::mosquitto
