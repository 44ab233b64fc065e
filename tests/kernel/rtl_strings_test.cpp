// Counted strings of the run-time library.
#include "tests/support/kernel_fixture.h"

namespace {

class RtlStringTest : public KernelFixture {};

TEST_F(RtlStringTest, InitCountsWithoutTheNull) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, u"\\Device\\NorvUSB0");
  EXPECT_EQ(wide.Length, 32);
  EXPECT_EQ(wide.MaximumLength, 34);
  RtlInitUnicodeString(&wide, nullptr);
  EXPECT_EQ(wide.Length, 0);
  EXPECT_EQ(wide.MaximumLength, 0);
  EXPECT_EQ(wide.Buffer, nullptr);

  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "NorvUSB1");
  EXPECT_EQ(narrow.Length, 8);
  EXPECT_EQ(narrow.MaximumLength, 9);
}

TEST_F(RtlStringTest, AnsiToUnicodeAllocatesFromPagedPoolAndFreesThere) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "Port \x80");
  UNICODE_STRING wide{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(wide.Buffer, wide.Length / 2), u"Port \u20AC");  // the ANSI code page's euro
  EXPECT_EQ(wide.Buffer[wide.Length / 2], 0);
  auto blocks = host::OutstandingPoolBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].type, PagedPool);
  EXPECT_EQ(blocks[0].size, wide.MaximumLength);
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(host::GetPoolStats().outstandingBlocks, 0u);
}

TEST_F(RtlStringTest, AnsiToUnicodeFailsCleanlyWithoutPool) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "NorvUSB1");
  UNICODE_STRING wide{};
  host::lowres::FailNth(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(wide.Buffer, nullptr);
}

TEST_F(RtlStringTest, AnsiToUnicodeIntoACallersBuffer) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "abcd");
  WCHAR room[4];
  UNICODE_STRING wide{0, sizeof room, room};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, FALSE), STATUS_SUCCESS);  // fits, without a null
  EXPECT_EQ(wide.Length, 8);
  narrow.Length = 5;
  narrow.Buffer = const_cast<PCHAR>("abcde");
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(wide.Length, 8);  // untouched
}

}  // namespace
