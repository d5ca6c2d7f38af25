#include "service_state.h"

#include "service_trace.h"
#include "talvoro/rules_protocol.h"

namespace talvoro {
ServiceState::ServiceState(mosquitto::MqttAsyncWrapper& client) : client_(client) {
  client_.SetWill(protocol::kStateTopic, "offline", mosquitto::Qos::AtLeastOnce, true);
}

void ServiceState::update(bool configured) {
  const mosquitto::LinkState link = client_.Link();
  if (!link.connected) {
    return;
  }
  if (link.connection != connection_) {
    connection_ = link.connection;
    announced_.clear();
  }
  if (!configured) {
    announce("waiting");
  } else if (client_.Acknowledged(protocol::kRulesTopicFilter, link.connection)) {
    announce("ready");
  }
}

void ServiceState::announceStop() {
  if (client_.Link().connected) {
    announced_.clear();
    announce("offline");
  }
}

void ServiceState::announce(const std::string& state) {
  if (announced_ == state) {
    return;
  }
  try {
    client_.Send(protocol::kStateTopic, state, mosquitto::Qos::AtLeastOnce, true);
    announced_ = state;
  } catch (const std::runtime_error& error) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Состояние %s не отправлено: %s",
             state.c_str(), error.what());
  }
}

}  // namespace talvoro
