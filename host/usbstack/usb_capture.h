// USBPcap capture files (link type 249), written through libpcap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "host/kernel/scheduler.h"

struct pcap;
struct pcap_dumper;

namespace host::usb {

inline constexpr int kLinkTypeUsbPcap = 249;

struct FileCloser {
  void operator()(std::FILE *file) const { std::fclose(file); }
};
// An open stream that is closed with its owner.
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

enum class CaptureTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3, IrpInfo = 0xFE };
enum class ControlStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct CaptureRecord {
  uint64_t irpId = 0;
  int32_t usbdStatus = 0;
  uint16_t function = 0;
  bool completion = false;  // info bit 0: PDO to FDO
  uint16_t bus = 0;
  uint16_t device = 0;
  uint8_t endpoint = 0;
  CaptureTransfer transfer = CaptureTransfer::IrpInfo;
  std::optional<ControlStage> stage;  // control transfers only
  std::span<const uint8_t> data;
  int64_t time = 0;  // model time, 100-ns units since boot
};

// The bytes of one packet: USBPcap header (27 or 28 bytes) and payload.
std::basic_string<uint8_t> EncodeUsbPcap(const CaptureRecord &record);

class CaptureFile {
 public:
  CaptureFile() = default;
  ~CaptureFile();
  CaptureFile(const CaptureFile &) = delete;
  CaptureFile &operator=(const CaptureFile &) = delete;

  bool Open(const std::filesystem::path &file, std::string *error);
  // Writes to a stream already open (standard output, a file checked by the
  // caller); the capture closes it.
  bool Open(FilePtr stream, std::string *error);
  // Flushes and closes; returns why a write failed, empty when none did.
  std::string Close();
  bool IsOpen() const;
  void Write(const CaptureRecord &record);

 private:
  mutable host::Mutex mutex_;
  pcap *pcap_ = nullptr;
  pcap_dumper *dumper_ = nullptr;
  std::string writeError_;  // the first failed write, kept until Close
  bool flushEach_ = false;  // the stream is a pipe or a terminal
};

}  // namespace host::usb
