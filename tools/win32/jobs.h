// norvusb.exe's subcommands on a real port. What they share with the Linux
// program (the request table, the decoders, a port's state, the JSON text)
// is the same code; what is here is only what a real port does otherwise:
// choosing and opening it, timing out on the wall clock, printing files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvusb::win32 {

struct CommonOptions {
  std::optional<std::string> port;
  bool json = false;
  bool quiet = false;
};

struct PrintOptions {
  CommonOptions common;
  std::vector<std::string> files;
  std::optional<std::string> title;
  bool jobPerFile = false;
  double stallTimeout = 10;
};

struct ReadOptions {
  CommonOptions common;
  std::optional<std::string> send;
  double timeout = 2;
  unsigned length = 1024;
  bool all = false;
  bool raw = false;
};

struct IoctlOptions {
  CommonOptions common;
  std::string request;
  std::vector<std::string> arguments;
  std::optional<unsigned> length;
  std::optional<std::string> input;
};

// Each returns the exit status, or throws ToolError.
int RunPrint(const PrintOptions &options);
int RunStatus(const CommonOptions &options);
int RunRead(const ReadOptions &options);
int RunIoctl(const IoctlOptions &options);
// id and reset: one request of the table (get-device-id, vendor-3), as ioctl
// sends and reports it.
int RunNamedRequest(const CommonOptions &options, const std::string &request);
int RunPorts(const CommonOptions &options);

}  // namespace norvusb::win32
