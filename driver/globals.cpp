// Driver-wide state: one record in the image's writable data.
#include "norvusb.h"

// Constant-initialised: no constructor runs at load. MaxTransferSize,
// AltSetting and IfSetting keep these image values until a registry value
// changes them; DriverEntry resets the port map and the name counter and
// chooses the memory forms (the plain ones until it has).
DRIVER_GLOBALS DriverGlobals = {4096, 0, {0, 0, 0, 0}, 0, 0, NonPagedPool, 0, 0};
