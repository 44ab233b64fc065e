// The Plug and Play identifiers of a USB device, made from its descriptors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/usbstack/usb_device.h"

namespace host::usb {

struct DeviceIdentity {
  std::string deviceId;                  // USB\VID_xxxx&PID_xxxx
  std::vector<std::string> hardwareIds;  // with &REV_xxxx first, then without
  std::vector<std::string> compatibleIds;  // USB\Class_xx&SubClass_xx&Prot_xx, ...
  std::string instanceId;                // the serial number, or the port number
  bool uniqueId = false;                 // true when the instance ID is the device's serial number
};

DeviceIdentity IdentifyDevice(UsbDevice &device, uint32_t port);

}  // namespace host::usb
