#include "talvoro/mosquitto/publication_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using talvoro::mosquitto::MqttError;
using talvoro::mosquitto::PublicationWindow;
using talvoro::mosquitto::Qos;
using Ticket = PublicationWindow::Ticket;

// Stands in for the client library: takes what the window hands over (or
// refuses it with the code set for its topic) and keeps the tickets, so
// that a test answers them as the broker would.
class FakeLibrary {
 public:
  PublicationWindow::Hooks hooks() {
    return {[this](const Ticket& ticket) -> std::optional<int> {
              const std::string& topic = ticket.publication().topic;
              handed.push_back(topic);
              if (const auto code = refusals.find(topic); code != refusals.end()) {
                return code->second;
              }
              tickets[topic] = &ticket;
              if (late) {
                return std::nullopt;
              }
              return MQTTASYNC_SUCCESS;
            },
            [this] { ++heard; }, [this] { ++flushRequests; },
            [this](const std::string& text) { reports.push_back(text); }};
  }

  // The broker's answer to the publication on `topic` handed over last.
  void answer(PublicationWindow& window, const std::string& topic, bool delivered) {
    const Ticket* ticket = tickets.at(topic);
    tickets.erase(topic);
    window.answered(*ticket, delivered);
  }

  std::vector<std::string> handed;
  std::map<std::string, const Ticket*> tickets;
  std::map<std::string, int> refusals;
  bool late = false;
  int heard = 0;
  int flushRequests = 0;
  std::vector<std::string> reports;
};

PublicationWindow::Publication publication(const std::string& topic, bool retained = false) {
  return {topic, "payload", Qos::AtLeastOnce, retained, nullptr};
}

TEST(PublicationWindowTest, HandsOverAtMostItsCapacityAndTheRestInOrderAsAnswersCome) {
  FakeLibrary library;
  PublicationWindow window(2, library.hooks());
  for (const char* topic : {"a", "b", "c", "d", "e"}) {
    window.submit(publication(topic));
  }
  EXPECT_EQ(library.handed, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(window.inLibrary(), 2u);
  EXPECT_EQ(window.waiting(), 3u);

  library.answer(window, "b", true);
  library.answer(window, "a", true);
  EXPECT_EQ(library.handed, (std::vector<std::string>{"a", "b", "c", "d"}));
  library.answer(window, "c", true);
  library.answer(window, "d", true);
  library.answer(window, "e", true);
  EXPECT_EQ(library.handed, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(window.inLibrary() + window.waiting(), 0u);
  EXPECT_EQ(library.heard, 5);
}

// The link broke before the broker acknowledged them: each goes again, in
// the order made, except a retained one that a later one replaces anyway,
// and one whose publisher listens: it hears false and decides itself.
TEST(PublicationWindowTest, WhatTheBrokenLinkGaveBackGoesAgainInOrderUnlessReplaced) {
  FakeLibrary library;
  PublicationWindow window(10, library.hooks());
  std::vector<bool> heard;
  window.submit(publication("status/x", true));
  window.submit(publication("result/x"));
  window.submit({"rule/y", "text", Qos::AtLeastOnce, false, [&](bool d) { heard.push_back(d); }});
  window.submit(publication("result/z"));
  const Ticket* older = library.tickets.at("status/x");
  window.submit(publication("status/x", true));  // the newer status of x

  library.answer(window, "result/z", false);
  library.answer(window, "rule/y", false);
  library.answer(window, "result/x", false);
  window.answered(*older, false);
  EXPECT_EQ(heard, std::vector<bool>{false});
  EXPECT_GE(library.flushRequests, 1);
  EXPECT_EQ(window.waiting(), 2u);

  library.handed.clear();
  window.flush();
  EXPECT_EQ(library.handed, (std::vector<std::string>{"result/x", "result/z"}));
}

TEST(PublicationWindowTest, ARefusalForGoodIsTheCallersAtOnceAndReportedWhenLate) {
  FakeLibrary library;
  library.refusals = {{"bad/at-once", MQTTASYNC_BAD_UTF8_STRING},
                      {"bad/later", MQTTASYNC_BAD_UTF8_STRING}};
  PublicationWindow window(1, library.hooks());
  try {
    window.submit(publication("bad/at-once"));
    FAIL() << "a refused publication was taken";
  } catch (const MqttError& error) {
    EXPECT_NE(std::string(error.what()).find("bad/at-once"), std::string::npos) << error.what();
  }
  window.submit(publication("first"));
  window.submit(publication("bad/later"));
  window.submit(publication("last"));
  library.answer(window, "first", true);
  ASSERT_EQ(library.reports.size(), 1u);
  EXPECT_NE(library.reports.front().find("cannot send to bad/later"), std::string::npos)
      << library.reports.front();
  EXPECT_EQ(library.handed.back(), "last");
}

// The library may say no for now (its buffer full after all, the link just
// gone): nothing is lost, the publication waits for the next turn.
TEST(PublicationWindowTest, WhatTheLibraryTakesNotNowWaitsForTheNextTurn) {
  FakeLibrary library;
  library.refusals = {{"a", MQTTASYNC_MAX_BUFFERED_MESSAGES}};
  PublicationWindow window(5, library.hooks());
  window.submit(publication("a"));
  window.submit(publication("b"));
  EXPECT_EQ(window.waiting(), 2u);
  EXPECT_TRUE(library.reports.empty());
  library.refusals.clear();
  window.flush();
  EXPECT_EQ(library.handed, (std::vector<std::string>{"a", "a", "b"}));
  EXPECT_EQ(window.waiting(), 0u);
}

// A call that runs later (the receive queue holds it for the library's
// thread) keeps its place: nothing overtakes it.
TEST(PublicationWindowTest, ACallThatRunsLaterIsOvertakenByNone) {
  FakeLibrary library;
  library.late = true;
  PublicationWindow window(5, library.hooks());
  window.submit(publication("a"));
  library.late = false;
  window.submit(publication("b"));
  window.flush();
  EXPECT_EQ(library.handed, std::vector<std::string>{"a"});
  // The library took it meanwhile; its result comes now.
  window.issued(*library.tickets.at("a"), MQTTASYNC_SUCCESS);
  EXPECT_EQ(library.flushRequests, 1);
  window.flush();
  EXPECT_EQ(library.handed, (std::vector<std::string>{"a", "b"}));
}

TEST(PublicationWindowTest, DrainWaitsForDeliveryWhileTheLinkIsUp) {
  FakeLibrary library;
  PublicationWindow window(1, library.hooks());
  window.submit(publication("a"));
  window.submit(publication("b"));
  window.submit({"listened", "x", Qos::AtLeastOnce, false, [](bool) {}});
  EXPECT_EQ(window.drain(PublicationWindow::Clock::now() + 10s, [] { return false; }), 2u);
  EXPECT_EQ(window.drain(PublicationWindow::Clock::now() + 50ms, [] { return true; }), 2u);
  library.answer(window, "a", true);
  library.answer(window, "b", true);
  // Only publications nobody listens to are the window's to see through.
  EXPECT_EQ(window.drain(PublicationWindow::Clock::now() + 10s, [] { return true; }), 0u);
}

}  // namespace
