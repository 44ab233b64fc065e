// The identifier text built from a printer's IEEE 1284 device ID, and its check.
#include <cstring>
#include <string>

#include "frame_fixture.h"

namespace {

ULONG Check(const std::string &bytes) {
  ULONG check = 0;
  Crc16Update(reinterpret_cast<const UCHAR *>(bytes.data()), static_cast<ULONG>(bytes.size()), &check);
  return check;
}

// CRC-16/ARC computed bit by bit: reflected polynomial 0xA001, start 0.
ULONG ReferenceArc(const std::string &bytes) {
  ULONG check = 0;
  for (unsigned char byte : bytes) {
    check ^= byte;
    for (int bit = 0; bit < 8; ++bit) check = (check & 1) ? (check >> 1) ^ 0xA001 : check >> 1;
  }
  return check;
}

TEST(EnumCrc16, KnownCheckValues) {
  EXPECT_EQ(Check("abc"), 0x9738u);
  EXPECT_EQ(Check("123456789"), 0x593Cu);
  EXPECT_EQ(Check("\xF0"), 0x4600u);
  EXPECT_EQ(Check(""), 0u);
  EXPECT_EQ(Check("ACMELX-100"), 0x39C4u);
}

TEST(EnumCrc16, SingleBytesMatchArcExceptTheEnumeratorsOwnEntry) {
  // Only a byte step whose combined value reaches 0xF0 uses HIGH[15], where
  // the enumerator's table differs from the standard one by 0x0200.
  for (int byte = 0; byte < 256; ++byte) {
    std::string one(1, static_cast<char>(byte));
    ULONG expected = ReferenceArc(one) ^ (byte >= 0xF0 ? 0x0200u : 0u);
    EXPECT_EQ(Check(one), expected) << "byte " << byte;
  }
}

TEST(EnumCrc16, UpdatesInPiecesLikeInOneGo) {
  ULONG check = 0;
  Crc16Update(reinterpret_cast<const UCHAR *>("1234"), 4, &check);
  Crc16Update(reinterpret_cast<const UCHAR *>("56789"), 5, &check);
  EXPECT_EQ(check, 0x593Cu);
}

class EnumIdentifierTest : public DriverUnitTest {
 protected:
  // The identifier text for a device-ID text, or "<none>" when none is built.
  std::string Build(const std::string &deviceId) {
    ANSI_STRING text;
    text.Buffer = const_cast<char *>(deviceId.data());
    text.Length = static_cast<USHORT>(deviceId.size());
    text.MaximumLength = text.Length;
    UNICODE_STRING result{0, 0, nullptr};
    if (!BuildDeviceId(&result, &text)) {
      EXPECT_EQ(result.Buffer, nullptr) << "a failed build must leave the result alone";
      return "<none>";
    }
    std::string narrow;
    for (USHORT i = 0; i < result.Length / sizeof(WCHAR); ++i) narrow += static_cast<char>(result.Buffer[i]);
    RtlFreeUnicodeString(&result);
    return narrow;
  }
};

TEST_F(EnumIdentifierTest, JoinsManufacturerAndModelUnderEitherKeyForm) {
  EXPECT_EQ(Build("MFG:ACME;MDL:LX-100;"), "ACMELX-10039C4");
  EXPECT_EQ(Build("MANUFACTURER:ACME;MODEL:LX-100;"), "ACMELX-10039C4");
  EXPECT_EQ(Build("MFG:ACME;MODEL:LX-100;"), "ACMELX-10039C4");
  EXPECT_EQ(Build("CMD:PCL;MDL:LX-100;CLS:PRINTER;MANUFACTURER:ACME"), "ACMELX-10039C4");
}

TEST_F(EnumIdentifierTest, ManufacturerIsRequiredModelIsNot) {
  EXPECT_EQ(Build("MFG:ACME;"), "ACME4B11");
  EXPECT_EQ(Build("MFG:ACME;MDL:;"), "ACME4B11");
  EXPECT_EQ(Build("MDL:LX-100;"), "<none>");
  EXPECT_EQ(Build("mfg:ACME;mdl:LX-100;"), "<none>") << "keys are case-sensitive";
  EXPECT_EQ(Build("XFG:ACME;MDL:LX-100;"), "<none>") << "every byte of a key counts, the first too";
  EXPECT_EQ(Build("MFG:ACME;XDL:LX-100;"), "ACME4B11");
  EXPECT_NE(Build(std::string("MFG:\0ACME;", 10)), "<none>") << "a key is its own bytes, whatever follows it";
  EXPECT_EQ(Build("MFG:;MANUFACTURER:ACME;MDL:LX-100;"), "<none>") << "the first manufacturer key counts";
  EXPECT_EQ(Build("MFG:"), "<none>");
  EXPECT_EQ(Build("MANUFACTURE"), "<none>");
  EXPECT_EQ(Build(""), "<none>");
}

TEST_F(EnumIdentifierTest, CutsTheJoinedTextTo20BytesButChecksAllOfIt) {
  EXPECT_EQ(Build("MFG:ACME CORPORATION;MDL:LASER PRINTER 9;"), "ACME CORPORATIONLASEF906");
  EXPECT_EQ(Build("MFG:ACME INC.;MDL:LX 100 PLUS;"), "ACME INC.LX 100 PLUSC783") << "exactly 20 bytes";
}

TEST_F(EnumIdentifierTest, KeysCountWhereverTheyStand) {
  EXPECT_EQ(Build("MFG:ACME;CMD:MDL:X;MDL:LX-100;"), "ACMEXF68A");
  EXPECT_EQ(Build("MFG:FOO MDL:BAR;"), "FOO MDL:BARBARC52F");
}

TEST_F(EnumIdentifierTest, ModelInsideALongManufacturerValueStaysInsideTheBlocks) {
  // The two values overlap and together are longer than the text; pool guard
  // bytes would report an overrun at free.
  std::string as(20, 'A');
  EXPECT_EQ(Build("MFG:MDL:" + as), "MDL:AAAAAAAAAAAAAAAA92F7");
}

TEST_F(EnumIdentifierTest, FailsCleanlyWithoutPool) {
  host::lowres::FailTag(NORVUSB_POOL_TAG);
  EXPECT_EQ(Build("MFG:ACME;MDL:LX-100;"), "<none>");
  host::lowres::Clear();
  for (uint64_t nth = 1; nth <= 3; ++nth) {
    host::lowres::FailNth(nth);
    EXPECT_EQ(Build("MFG:ACME;MDL:LX-100;"), "<none>") << "allocation " << nth;
    host::lowres::Clear();
  }
  EXPECT_EQ(Build("MFG:ACME;MDL:LX-100;"), "ACMELX-10039C4");
}

}  // namespace

// The bounded formatting behind the identifier and port texts: what does not
// fit is cut, and the text stays terminated within its buffer.
TEST(BoundedText, CutsAtTheCapacityAndTellsSo) {
  struct Row {
    ULONG capacity, limit;
    const char *text;
    ULONG number, base, width;
    std::string expected;
    bool cut;
  };
  const Row rows[] = {
      {16, 16, "NorvUSB", 128, 10, 1, "NorvUSB128", false},
      {16, 16, "ab\0cd", 0x1F, 16, 4, "ab001F", false},  // the text stops at its null
      {9, 16, "NorvUSB", 128, 10, 1, "NorvUSB1", true},   // room for 8 characters and the null
      {4, 2, "abcdef", 0xBEEF, 16, 4, "abB", true},       // the limit, then the capacity
      {1, 1, "a", 7, 10, 1, "", true},
  };
  for (const Row &row : rows) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    TEXT_BUFFER text;
    TextStart(&text, buffer, row.capacity);
    TextAppend(&text, row.text, row.limit);
    TextAppendNumber(&text, row.number, row.base, row.width);
    EXPECT_EQ(std::string(buffer), row.expected) << row.capacity << " " << row.text;
    EXPECT_EQ(text.Cut != FALSE, row.cut) << row.expected;
    EXPECT_EQ(buffer[row.capacity], 'x') << "a write past the capacity";
  }
}
