// BuildDeviceId on arbitrary device-ID text. The text sits in a block of
// exactly its length, so that a read past the counted string is an
// address-sanitizer finding. The first input byte may make one of the
// routine's allocations fail. Checked: the shape of a built identifier
// (4 to 24 characters, ending in four upper-case hexadecimal digits), that a
// refusal leaves the result alone, and that no pool block stays behind.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "norvusb.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The kernel lives for the whole process. Its constructor also builds one
// identifier, so that every service the routine touches exists before the
// kernel is done being built and is therefore still there when the kernel
// shuts down (and checks for leaks) at exit.
struct Booted {
  Booted() {
    fuzz::CrashOnBugCheck();
    char text[] = "MFG:ACME;MDL:LX-100;";
    ANSI_STRING id{sizeof text - 1, sizeof text, text};
    UNICODE_STRING result{};
    FUZZ_EXPECT(BuildDeviceId(&result, &id));
    RtlFreeUnicodeString(&result);
  }
  host::Kernel kernel;
};

bool IsUpperHex(WCHAR c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

void CheckIdentifier(const UNICODE_STRING &result) {
  FUZZ_EXPECT(result.Buffer != nullptr);
  FUZZ_EXPECT(result.Length % 2 == 0);
  const size_t characters = result.Length / 2;
  // Up to 20 characters of the joined text (fewer if it holds a null byte),
  // then the check.
  FUZZ_EXPECT(characters >= 4 && characters <= 24);
  for (size_t i = characters - 4; i < characters; ++i) FUZZ_EXPECT(IsUpperHex(result.Buffer[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Booted booted;
  if (size < 1 || size - 1 > 0xFFFF) return 0;
  const uint8_t failure = data[0];
  const size_t length = size - 1;

  auto text = std::make_unique<char[]>(length == 0 ? 1 : length);
  std::memcpy(text.get(), data + 1, length);
  ANSI_STRING id;
  id.Buffer = text.get();
  id.Length = static_cast<USHORT>(length);
  id.MaximumLength = static_cast<USHORT>(length);

  const size_t blocksBefore = host::GetPoolStats().outstandingBlocks;
  // 1..4: fail the n-th allocation of this call (working buffer, identifier
  // text, wide conversion, ...).
  if (failure >= 1 && failure <= 4) host::lowres::FailNth(failure);
  WCHAR sentinel[1] = {u'?'};
  UNICODE_STRING result{2, 2, sentinel};
  const BOOLEAN built = BuildDeviceId(&result, &id);
  host::lowres::Clear();

  if (built) {
    CheckIdentifier(result);
    RtlFreeUnicodeString(&result);
  } else {
    FUZZ_EXPECT(result.Buffer == sentinel && result.Length == 2 && result.MaximumLength == 2);
  }
  FUZZ_EXPECT(host::GetPoolStats().outstandingBlocks == blocksBefore);

  // Without an injected failure two cases are plain from the text alone: no
  // manufacturer key at all refuses, one with a value at the very start builds.
  if (failure == 0 || failure > 4) {
    const std::string_view view(text.get(), length);
    if (view.find("MFG:") == view.npos && view.find("MANUFACTURER:") == view.npos) FUZZ_EXPECT(!built);
    if (view.size() > 4 && view.starts_with("MFG:") && view[4] != ';') FUZZ_EXPECT(built);
  }
  return 0;
}
