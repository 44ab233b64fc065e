// Counted strings of the run-time library. Conversions allocate from the
// pool like any driver allocation, so the low-resources policy and the leak
// checks see them.
#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

namespace {

constexpr ULONG kStringTag = 0x52545355;  // 'USTR': buffers the string routines allocate
constexpr size_t kLongestCount = 0xFFFC;  // the largest even USHORT that leaves room for a null

// The system's ANSI code page (1252): Latin-1 except for 0x80..0x9F.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

WCHAR AnsiToWide(unsigned char c) {
  return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<WCHAR>(c);
}

}  // namespace

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  const host::sched::AfterEffect afterEffect("RtlInitUnicodeString");
  if (!host::irql::Allows(host::irql::Routine::RtlInitUnicodeString, SourceString)) return;
  size_t bytes = SourceString ? std::char_traits<char16_t>::length(SourceString) * sizeof(WCHAR) : 0;
  if (bytes > kLongestCount) bytes = kLongestCount;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  const host::sched::AfterEffect afterEffect("RtlInitAnsiString");
  if (!host::irql::Allows(host::irql::Routine::RtlInitAnsiString, SourceString)) return;
  size_t bytes = SourceString ? std::char_traits<char>::length(SourceString) : 0;
  if (bytes > kLongestCount) bytes = kLongestCount;
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(bytes + 1) : 0;
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                       const ANSI_STRING *SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  const host::sched::AfterEffect afterEffect("RtlAnsiStringToUnicodeString");
  if (!host::irql::Allows(host::irql::Routine::RtlAnsiStringToUnicodeString, SourceString)) return STATUS_INVALID_DEVICE_STATE;
  size_t chars = SourceString->Length;
  size_t needed = (chars + 1) * sizeof(WCHAR);  // with the terminating null
  if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  auto length = static_cast<USHORT>(chars * sizeof(WCHAR));
  if (AllocateDestinationString) {
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(needed);
  } else if (length > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < chars; ++i) {
    DestinationString->Buffer[i] = AnsiToWide(static_cast<unsigned char>(SourceString->Buffer[i]));
  }
  DestinationString->Length = length;
  // The null goes in only where it fits, as on the platform.
  if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[chars] = 0;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  const host::sched::AfterEffect afterEffect("RtlFreeUnicodeString");
  if (!host::irql::Allows(host::irql::Routine::RtlFreeUnicodeString, UnicodeString)) return;
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}
