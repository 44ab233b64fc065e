// What norvusb.exe asks of Windows, behind plain types: only system.cpp
// includes <windows.h>, so that the code both programs share keeps the host
// machine's kernel types and never meets the platform's.
//
// Every routine used is one Windows 98 has (win32/tool-routines.txt); the
// image's imports are checked against that list in the build.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/port.h"

namespace norvusb::win32 {

// The largest number a port name can have: the driver names at most this many.
inline constexpr unsigned kMaxPorts = 128;

// A real \\.\NorvUSB<n> handle, opened for overlapped I/O so that a request
// may be made while a transfer waits.
class RealPort : public Port {
 public:
  explicit RealPort(void *handle) : handle_(handle) {}
  ~RealPort() override;
  RealPort(const RealPort &) = delete;
  RealPort &operator=(const RealPort &) = delete;

  PortIo Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength) override;
  PortIo Write(const void *data, uint32_t length) override;
  // A read or write that has not finished within `seconds` is ended by the
  // driver's own abort-pipes request and reported as timed out.
  PortIo TimedTransfer(bool write, void *data, uint32_t length, double seconds, bool &timedOut);

 private:
  void *handle_;
};

enum class OpenFailure { None, NoSuchPort, InUse, Other };

struct Opened {
  std::unique_ptr<RealPort> port;
  OpenFailure failure = OpenFailure::None;
  std::string words;  // why the open failed, for Other
};

// Opens \\.\NorvUSB<number> for reading and writing.
Opened OpenPort(unsigned number);
// "NorvUSB1, NorvUSB2": the ports that exist now (opened or in use); "none".
std::string PortsNow();

// Seconds of the wall clock since the program started (GetTickCount: 98 has
// nothing finer that every system offers).
double Seconds();
// Waits for `seconds` of the wall clock.
void Pause(double seconds);
// Standard input and output carry bytes as they are, not text.
void BinaryStandardStreams();
// True when standard error is a console; its width in columns.
bool StderrIsConsole();
int ConsoleColumns();
// Ctrl-C and Ctrl-Break stop the job at a clean point instead of ending the
// program: Interrupted() says when one came.
void CatchInterrupts();
bool Interrupted();

}  // namespace norvusb::win32
