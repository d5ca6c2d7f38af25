#include "talvoro/mosquitto/mqtt_async_wrapper.h"
