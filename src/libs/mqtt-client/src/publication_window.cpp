#include "talvoro/mosquitto/publication_window.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "library_callback.h"
#include "link_texts.h"

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;

// The library says no now, but not for good: the publication waits again.
bool refusedForNow(int rc) {
  return rc == MQTTASYNC_MAX_BUFFERED_MESSAGES || rc == MQTTASYNC_DISCONNECTED;
}

}  // namespace

int PublicationWindow::Ticket::sendWith(MQTTAsync client) const {
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(publication_.payload.data());
  message.payloadlen = static_cast<int>(publication_.payload.size());
  message.qos = static_cast<int>(publication_.qos);
  message.retained = publication_.retained ? 1 : 0;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &PublicationWindow::onDelivered;
  options.onFailure = &PublicationWindow::onNotDelivered;
  options.context = const_cast<Ticket*>(this);
  // The library copies topic and payload.
  return MQTTAsync_sendMessage(client, publication_.topic.c_str(), &message, &options);
}

std::size_t PublicationWindow::capacityFromEnvironment(std::size_t most) {
  const char* text = std::getenv("MQTT_PUBLICATION_WINDOW");
  if (text == nullptr || *text == '\0') {
    return most;
  }
  char* end = nullptr;
  errno = 0;
  const long long capacity = std::strtoll(text, &end, 10);
  if (*end != '\0' || errno != 0 || capacity < 1 ||
      static_cast<unsigned long long>(capacity) > most) {
    throw MqttError(fmt::format(
        "mqtt: MQTT_PUBLICATION_WINDOW: \"{}\" is not a whole number from 1 to {}", text, most));
  }
  return static_cast<std::size_t>(capacity);
}

PublicationWindow::PublicationWindow(std::size_t capacity, Hooks hooks)
    : capacity_(std::max<std::size_t>(capacity, 1)), hooks_(std::move(hooks)) {}

PublicationWindow::~PublicationWindow() = default;

void PublicationWindow::submit(Publication publication) {
  std::unique_lock<std::mutex> lock(mutex_);
  TicketPtr ticket(new Ticket(*this, std::move(publication), nextSequence_++));
  if (ticket->publication_.retained) {
    newestRetained_[ticket->publication_.topic] = ticket->sequence_;
  }
  if (handingOver_ || paused_ || !waiting_.empty() || issued_.size() >= capacity_) {
    waiting_.push_back(std::move(ticket));
    if (!handingOver_ && !paused_) {
      handingOver_ = true;
      handOver(lock);
    }
    return;
  }
  // Nothing waits before it: it goes at once, and a refusal is the caller's.
  handingOver_ = true;
  const Ticket& mine = *ticket;
  const std::string topic = mine.publication_.topic;
  issued_.emplace(&mine, std::move(ticket));
  lock.unlock();
  const std::optional<int> rc = hooks_.issue(mine);
  lock.lock();
  if (!rc) {
    return;  // handing over goes on when issued() tells the result
  }
  std::optional<MqttError> refusal;
  if (*rc != MQTTASYNC_SUCCESS && !refusedForNow(*rc)) {
    finished(*takeIssued(mine));
    refusal.emplace(fmt::format("mqtt: cannot send to {}: {}", topic, detail::errorText(*rc)));
  }
  if (refusal || settle(mine, *rc, lock)) {
    handOver(lock);  // what others left meanwhile
  } else {
    paused_ = true;
    handingOver_ = false;
  }
  if (refusal) {
    lock.unlock();
    throw *refusal;
  }
}

void PublicationWindow::flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (handingOver_ || waiting_.empty() || stopped_) {
    return;  // the thread handing over takes these too
  }
  paused_ = false;
  handingOver_ = true;
  handOver(lock);
}

// Call with the lock held and handingOver_ set; clears it unless a call
// went late.
void PublicationWindow::handOver(std::unique_lock<std::mutex>& lock) {
  while (!stopped_ && !waiting_.empty() && issued_.size() < capacity_) {
    TicketPtr next = std::move(waiting_.front());
    waiting_.pop_front();
    const Ticket& ticket = *next;
    issued_.emplace(&ticket, std::move(next));
    lock.unlock();
    const std::optional<int> rc = hooks_.issue(ticket);
    lock.lock();
    if (!rc) {
      return;
    }
    if (!settle(ticket, *rc, lock)) {
      paused_ = true;  // the library takes nothing now; the next flush tries again
      break;
    }
  }
  handingOver_ = false;
  changed_.notify_all();
}

// What the library's return code means for an issued ticket; false when it
// went back to wait because the library takes nothing now. The ticket is
// gone after a refusal.
bool PublicationWindow::settle(const Ticket& ticket, int rc, std::unique_lock<std::mutex>& lock) {
  if (rc == MQTTASYNC_SUCCESS) {
    return true;
  }
  TicketPtr back = takeIssued(ticket);
  if (!back) {
    return true;
  }
  if (refusedForNow(rc)) {
    wait(std::move(back));
    return false;
  }
  const std::string text =
      fmt::format("cannot send to {}: {}", back->publication_.topic, detail::errorText(rc));
  DeliveryListener listener = muted_ ? nullptr : std::move(back->publication_.listener);
  finished(*back);
  lock.unlock();
  hooks_.report(text);
  if (listener) {
    listener(false);
  }
  lock.lock();
  return true;
}

void PublicationWindow::answered(const Ticket& ticket, bool delivered) {
  std::unique_lock<std::mutex> lock(mutex_);
  TicketPtr done = takeIssued(ticket);
  if (!done) {
    return;
  }
  const bool acknowledged = delivered && done->publication_.qos != Qos::AtMostOnce;
  const std::string topic = done->publication_.topic;
  DeliveryListener listener;
  if (delivered || stopped_ || done->publication_.listener || superseded(*done)) {
    if (!muted_) {
      listener = std::move(done->publication_.listener);
    }
    finished(*done);
  } else {
    wait(std::move(done));
  }
  const bool room = delivered && !handingOver_ && !waiting_.empty();
  const bool waiting = !waiting_.empty();
  changed_.notify_all();
  lock.unlock();
  if (acknowledged) {
    hooks_.heard();
  }
  if (listener) {
    try {
      listener(delivered);
    } catch (const std::exception& error) {
      hooks_.report(fmt::format("delivery listener for {} failed: {}", topic, error.what()));
    } catch (...) {
      hooks_.report(fmt::format("delivery listener for {} failed", topic));
    }
  }
  if (room) {
    flush();
  } else if (waiting) {
    // Given up with the link: handed over again, but not from inside the
    // library's clean-up of the link.
    hooks_.flushLater();
  }
}

void PublicationWindow::issued(const Ticket& ticket, int rc) {
  std::unique_lock<std::mutex> lock(mutex_);
  // After a success the ticket may be answered and gone already.
  if (rc != MQTTASYNC_SUCCESS && !settle(ticket, rc, lock)) {
    paused_ = true;
  }
  handingOver_ = false;
  const bool more = !waiting_.empty();
  changed_.notify_all();
  lock.unlock();
  if (more) {
    hooks_.flushLater();
  }
}

void PublicationWindow::muteListeners() {
  std::lock_guard<std::mutex> lock(mutex_);
  muted_ = true;
}

void PublicationWindow::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

std::size_t PublicationWindow::drain(Clock::time_point deadline,
                                     const std::function<bool()>& linkUp) {
  for (;;) {
    flush();
    const bool up = linkUp();
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t left = undelivered();
    if (left == 0 || !up || Clock::now() >= deadline) {
      return left;
    }
    changed_.wait_until(lock, std::min(deadline, Clock::now() + 100ms));
  }
}

std::size_t PublicationWindow::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
}

std::size_t PublicationWindow::inLibrary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return issued_.size();
}

PublicationWindow::TicketPtr PublicationWindow::takeIssued(const Ticket& ticket) {
  const auto found = issued_.find(&ticket);
  if (found == issued_.end()) {
    return nullptr;
  }
  TicketPtr taken = std::move(found->second);
  issued_.erase(found);
  return taken;
}

// Back among the waiting, in the order the publications were made.
void PublicationWindow::wait(TicketPtr ticket) {
  const auto place = std::upper_bound(
      waiting_.begin(), waiting_.end(), ticket->sequence_,
      [](std::uint64_t sequence, const TicketPtr& other) { return sequence < other->sequence_; });
  waiting_.insert(place, std::move(ticket));
}

// A retained publication that a later one on its topic replaces anyway.
bool PublicationWindow::superseded(const Ticket& ticket) const {
  if (!ticket.publication_.retained) {
    return false;
  }
  const auto newest = newestRetained_.find(ticket.publication_.topic);
  return newest != newestRetained_.end() && newest->second != ticket.sequence_;
}

void PublicationWindow::finished(const Ticket& ticket) {
  if (ticket.publication_.retained) {
    const auto newest = newestRetained_.find(ticket.publication_.topic);
    if (newest != newestRetained_.end() && newest->second == ticket.sequence_) {
      newestRetained_.erase(newest);
    }
  }
}

// Publications without a listener not yet delivered: only the window can
// still see them through.
std::size_t PublicationWindow::undelivered() const {
  const auto unheard = [](const Ticket& ticket) { return !ticket.publication_.listener; };
  std::size_t count = 0;
  for (const TicketPtr& ticket : waiting_) {
    count += unheard(*ticket) ? 1 : 0;
  }
  for (const auto& [address, ticket] : issued_) {
    count += unheard(*ticket) ? 1 : 0;
  }
  return count;
}

void PublicationWindow::onDelivered(void* context, MQTTAsync_successData* /*data*/) {
  answer(context, true);
}

void PublicationWindow::onNotDelivered(void* context, MQTTAsync_failureData* /*data*/) {
  answer(context, false);
}

void PublicationWindow::answer(void* context, bool delivered) noexcept {
  const detail::LibraryCallback callback;
  auto& ticket = *static_cast<const Ticket*>(context);
  try {
    ticket.window_.answered(ticket, delivered);
  } catch (...) {
    // Out of memory at worst; nothing may leave a library callback.
  }
}

}  // namespace talvoro::mosquitto
