// nvtest.exe: the Wine suite's test client. Starts the bridge model
// (nvbridge.exe, beside it), plugs bridges into the virtual bus, and checks
// what the real norvusb.sys, installed by Wine from win32/norvusb.inf, does
// with them. Every check it makes is one the host machine's suite makes for
// the same bridge (tests/user_io/, tests/tools/, docs/hardware.md).
//
// This file is the one list of the tests, in the order they run: the
// scenarios are in files named after the host suite each mirrors
// (user_io.cpp, lifecycle.cpp), the runner in runner.cpp (nvtest.h).
//
// "nvtest.exe child ..." is the other process of a two-process test (see
// ChildMain); it prints nothing.
#include "tests/wine/client/nvtest.h"

int main(int argc, char **argv) {
  using namespace nvtest;
  if (argc > 1 && std::string(argv[1]) == "child") return ChildMain(argc, argv);
  if (!StartMachine(argv[0])) return 1;

  Run("install: the bus reports a bridge, Wine installs norvusb.sys from its INF as shipped, NorvUSB1 appears",
      InstallFromTheInf);
  Run("print a 1 MiB random file, byte for byte", PrintOneMiB);
  Run("every device-control request: status, Information and reply as the host suite expects",
      DeviceControlAsTheHostSuiteExpects);
  Run("a back-channel read", BackChannelRead);
  Run("a held vendor request returns after the driver's 2-second time-out and the port keeps working",
      HeldVendorRequestTimesOut);
  Run("a reset during a pending read cancels it, and the port carries on", ResetDuringAPendingRead);
  Run("the second open is refused", SecondOpenIsRefused);
  Run("unplug: the link is gone and opens fail", UnplugRemovesTheLink);
  Run("replug: NorvUSB1 again", ReplugGetsTheSamePort);
  Run("three bridges at once, with their port names", ThreeBridgesWithTheirPortNames);
  Run("a bridge gone in the middle of a request, with its port open", BridgeGoneWithItsPortOpen);

  // The hostile client: what a careless or hostile program can do to a
  // port. Each test says what Windows does; where Wine cannot show it, the
  // test says what it checks instead (docs/wine.md). Each starts from a bus
  // with no bridge plugged in and plugs new bridges (a new model bridge and
  // printer each), so that no test inherits another's state. Those last two
  // once took the process hosting the drivers down (and a failure there
  // fails every test after it).
  Run("settings from the driver key: AltSetting selects setting 1, MaxTransferSize allows 8192-byte writes (as on "
      "Windows)",
      SettingsFromTheDriverKey);
  Run("many overlapped requests on one handle: one transfer at a time, the rest refused as busy, nothing lost "
      "(as on Windows)",
      ManyOverlappedRequests);
  Run("CancelIo ends a pending read, and a line queued right after it reaches the next read, 20 times (as on Windows)",
      CancelIoRounds);
  Run("CancelIo from another thread leaves a read alone; CancelIoEx from another thread cancels it (as on Windows)",
      CancelFromAnotherThread);
  Run("every control code with every short and long buffer, guard bytes around the output: refused or answered "
      "within it (as on Windows)",
      EveryCodeEveryBadLength);
  Run("open/close storms, one after another and from four threads: every write done printed once (Windows refuses "
      "the extra opens itself)",
      OpenCloseStorms);
  Run("a second open the driver refused acts on nothing and its close leaves the owner alone (Windows refuses that "
      "open itself)",
      RefusedOpenIsInert);
  Run("two processes on one port: the second's handle moves nothing and the owner prints (Windows refuses the "
      "second open itself)",
      TwoProcessesOnOnePort);
  Run("a process ended, or ending, with a read pending: the port opens again and the next read gets the data (as on "
      "Windows)",
      ProcessEndsWithReadPending);
  Run("closing a handle with a write held: the write ends, the port works (Windows closes only after the write ends)",
      CloseWithWriteHeld);
  Run("unplugged with a read pending and the handle open: the read ends, the remove reaches the USB device (as on "
      "Windows)",
      UnplugWithReadPending);
  Run("a WMI request sent to the bridge's stack reaches the USB device below (as on Windows)",
      WmiRequestsReachTheDeviceBelow);
  Run("eight bridges at once: a port each and writes on all of them at once (as on Windows)", ManyBridges, 240);
  Run("eight bridges print 1 MiB each at once, every byte checked", EightBridgesPrintAMiBEach, 600);
  Run("plug A and B, unplug A, plug C: C gets NorvUSB1 (as on Windows)", OutOfOrderUnplug);
  Run("four replugs with a writer running: every write ends, and every one done printed once (as on Windows)",
      ReplugWithWriterRunning, 240);
  Run("reads shorter than what the printer sent lose nothing (as on Windows)", ReadsShorterThanWhatThePrinterSent);
  Run("a read left pending, its handle closed, then data: the driver host lives on and no byte is lost (Windows "
      "closes only after the read ends)",
      CloseWithReadPendingThenData);

  // A fault in a driver ends the process that hosts them all, the bus with
  // them: the bus still answering is the sign that none faulted.
  Run("the process hosting the drivers lived through every test", DriverHostLivedThroughEveryTest);

  return Finish();
}
