#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <ctime>

namespace talvoro {
namespace {

// SIGTERM, SIGINT and SIGHUP (a closed terminal, a reload asked of a
// service that has nothing to reload) ask the service to stop. They are
// blocked in every thread (the mask is set before the MQTT client starts its
// threads, which inherit it), so they wait until the receive loop takes them.
sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

void blockStopSignals() {
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int stopSignalDescriptor() {
  // Never closed: it serves until the process ends.
  static const int descriptor = [] {
    const sigset_t signals = stopSignals();
    return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  }();
  return descriptor;
}

int takeStopSignal() {
  const sigset_t signals = stopSignals();
  const timespec noWait{};
  const int signal = sigtimedwait(&signals, nullptr, &noWait);
  return signal > 0 ? signal : 0;
}

}  // namespace talvoro
