// 1765090800
// Kitchen light: follows the wall switch and switches off after 10 minutes.
// The placeholders name elements of the IO structure (examples/io-structure.json);
// rules-preprocessor replaces them before the rule engine sees this file.

var LIGHT_OFF_DELAY_MS = 10 * 60 * 1000;
var offTimer = null;

defineRule("kitchen_light_follows_switch", {
  whenChanged: "DEVICE_NAME(wall_switch)/CELL_NAME(wall_switch)",
  then: function (newValue, devName, cellName) {
    dev["DEVICE_NAME(lamp1)/CELL_NAME(lamp1)"] = newValue;
    log("kitchen light on port " + PORT_NAME(lamp1) + " of VIRTUAL_DEVICE_NAME(lamp1): " + newValue);
    if (offTimer) {
      clearTimeout(offTimer);
      offTimer = null;
    }
    if (newValue) {
      offTimer = setTimeout(function () {
        dev["DEVICE_NAME(lamp1)/CELL_NAME(lamp1)"] = false;
        offTimer = null;
      }, LIGHT_OFF_DELAY_MS);
    }
  }
});
