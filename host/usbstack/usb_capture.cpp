#include "host/usbstack/usb_capture.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "host/kernel/host_kernel.h"

namespace host::usb {

namespace {

constexpr int kSnapLength = 65535;
// 100-ns units between 1601-01-01, the platform's epoch, and 1970-01-01.
constexpr int64_t kUnixEpochUnits = 11644473600LL * 10'000'000;

// Microseconds since 1970 at which the machine booted: captures are stamped
// with the wall clock at boot plus model time, so that a reader shows when
// the run happened and the spacing the bus had.
int64_t BootMicrosSinceUnixEpoch() { return (clock::SystemTimeAtBoot() - kUnixEpochUnits) / 10; }

template <typename T>
void PutLittleEndian(std::basic_string<uint8_t> &out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

}  // namespace

std::basic_string<uint8_t> EncodeUsbPcap(const CaptureRecord &record) {
  const uint16_t headerLength = record.stage ? 28 : 27;
  std::basic_string<uint8_t> out;
  out.reserve(headerLength + record.data.size());
  PutLittleEndian<uint16_t>(out, headerLength);
  PutLittleEndian<uint64_t>(out, record.irpId);
  PutLittleEndian<uint32_t>(out, static_cast<uint32_t>(record.usbdStatus));
  PutLittleEndian<uint16_t>(out, record.function);
  out.push_back(record.completion ? 1 : 0);
  PutLittleEndian<uint16_t>(out, record.bus);
  PutLittleEndian<uint16_t>(out, record.device);
  out.push_back(record.endpoint);
  out.push_back(static_cast<uint8_t>(record.transfer));
  PutLittleEndian<uint32_t>(out, static_cast<uint32_t>(record.data.size()));
  if (record.stage) out.push_back(static_cast<uint8_t>(*record.stage));
  out.append(record.data.begin(), record.data.end());
  return out;
}

CaptureFile::~CaptureFile() { Close(); }

bool CaptureFile::Open(const std::filesystem::path &file, std::string *error) {
  FilePtr stream(std::fopen(file.c_str(), "wb"));
  if (!stream) {
    if (error) *error = std::string("cannot create capture file: ") + std::generic_category().message(errno);
    return false;
  }
  return Open(std::move(stream), error);
}

bool CaptureFile::Open(FilePtr stream, std::string *error) {
  Close();
  std::lock_guard lock(mutex_);
  pcap_ = pcap_open_dead(kLinkTypeUsbPcap, kSnapLength);
  if (!pcap_) {
    if (error) *error = "libpcap cannot make a capture handle";
    return false;
  }
  dumper_ = pcap_dump_fopen(pcap_, stream.get());
  if (!dumper_) {
    if (error) *error = std::string("cannot start the capture: ") + pcap_geterr(pcap_);
    pcap_close(pcap_);
    pcap_ = nullptr;
    return false;
  }
  // A pipe or a terminal (a live `tshark -r -`) gets each packet as it
  // happens, as tcpdump -U gives it; a file keeps the library's buffering.
  struct stat info{};
  flushEach_ = fstat(fileno(stream.get()), &info) == 0 && !S_ISREG(info.st_mode);
  if (flushEach_) pcap_dump_flush(dumper_);
  stream.release();  // NOLINT(bugprone-unused-return-value): the dumper owns the stream now and closes it
  writeError_.clear();
  return true;
}

std::string CaptureFile::Close() {
  std::lock_guard lock(mutex_);
  if (!dumper_) return "";
  // The stream buffers: a full disk often shows only at the last flush.
  if (pcap_dump_flush(dumper_) != 0 && writeError_.empty()) writeError_ = std::generic_category().message(errno);
  pcap_dump_close(dumper_);
  pcap_close(pcap_);
  dumper_ = nullptr;
  pcap_ = nullptr;
  return std::exchange(writeError_, std::string());
}

bool CaptureFile::IsOpen() const {
  std::lock_guard lock(mutex_);
  return dumper_ != nullptr;
}

void CaptureFile::Write(const CaptureRecord &record) {
  std::lock_guard lock(mutex_);
  if (!dumper_) return;
  const auto bytes = EncodeUsbPcap(record);
  pcap_pkthdr header{};
  const int64_t micros = BootMicrosSinceUnixEpoch() + record.time / 10;
  header.ts.tv_sec = static_cast<time_t>(micros / 1000000);
  header.ts.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(bytes.size(), kSnapLength));
  header.len = static_cast<bpf_u_int32>(bytes.size());
  pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, bytes.data());
  if (flushEach_) pcap_dump_flush(dumper_);
  if (writeError_.empty() && std::ferror(pcap_dump_file(dumper_))) writeError_ = std::generic_category().message(errno);
}

}  // namespace host::usb
