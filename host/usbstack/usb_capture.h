// USBPcap capture files (link type 249), written through libpcap.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "host/kernel/scheduler.h"

struct pcap;
struct pcap_dumper;

namespace host::usb {

inline constexpr int kLinkTypeUsbPcap = 249;

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
  void Close();
  bool IsOpen() const;
  void Write(const CaptureRecord &record);

 private:
  mutable host::Mutex mutex_;
  pcap *pcap_ = nullptr;
  pcap_dumper *dumper_ = nullptr;
};

}  // namespace host::usb
