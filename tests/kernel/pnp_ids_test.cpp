// The identifier rules the PnP manager applies to what a bus returns.
#include <gtest/gtest.h>

#include "host/pnp/pnp_manager.h"

namespace ids = host::pnp::ids;
using Kind = ids::Kind;

TEST(PnpIds, AcceptsPrintableAsciiAndTurnsSpacesIntoUnderscores) {
  EXPECT_EQ(ids::Normalise(u"USB\\VID_1234&PID_5678", Kind::DeviceId), "USB\\VID_1234&PID_5678");
  EXPECT_EQ(ids::Normalise(u"LPTENUM\\ACME LX 100", Kind::DeviceId), "LPTENUM\\ACME_LX_100");
  EXPECT_EQ(ids::Normalise(u" A~\x7f", Kind::InstanceId), "_A~\x7f");
}

TEST(PnpIds, RefusesWhatThePlatformRefuses) {
  EXPECT_FALSE(ids::Normalise(u"USB\\A,B", Kind::DeviceId));       // comma
  EXPECT_FALSE(ids::Normalise(u"USB\\A\x1f", Kind::DeviceId));     // control character
  EXPECT_FALSE(ids::Normalise(u"USB\\A\x80", Kind::DeviceId));     // beyond ASCII
  EXPECT_FALSE(ids::Normalise(u"NOSEPARATOR", Kind::DeviceId));
  EXPECT_FALSE(ids::Normalise(u"\\LEADING", Kind::DeviceId));
  EXPECT_FALSE(ids::Normalise(u"TRAILING\\", Kind::DeviceId));
  EXPECT_FALSE(ids::Normalise(u"A\\B", Kind::InstanceId));
  EXPECT_FALSE(ids::Normalise(u"", Kind::InstanceId));
  EXPECT_TRUE(ids::Normalise(u"NOSEPARATOR", Kind::HardwareId));
}

TEST(PnpIds, DeviceIdAndItsNullMustFitMaxDeviceIdLen) {
  EXPECT_TRUE(ids::Normalise(u"B\\" + std::u16string(ids::kMaxDeviceIdLen - 3, u'x'), Kind::DeviceId));
  EXPECT_FALSE(ids::Normalise(u"B\\" + std::u16string(ids::kMaxDeviceIdLen - 2, u'x'), Kind::DeviceId));
}

TEST(PnpIds, MultiSzListsMustEndInsideTheirBuffer) {
  const char16_t list[] = u"A B\0C\0\0";
  EXPECT_EQ(ids::ParseMultiSz(list, 7), (std::vector<std::string>{"A_B", "C"}));
  EXPECT_EQ(ids::ParseMultiSz(list, 6), std::nullopt);  // the final null lies beyond the room
  const char16_t empty[] = u"\0";
  EXPECT_EQ(ids::ParseMultiSz(empty, 1), std::vector<std::string>{});
  const char16_t bad[] = u"A\0B,C\0\0";
  EXPECT_EQ(ids::ParseMultiSz(bad, 8), std::nullopt);
}

TEST(PnpIds, ParentPrefixDependsOnTheParentOnly) {
  const auto a = ids::ParentIdPrefix("USB\\VID_1&PID_2\\5&1&0&1", 2);
  EXPECT_EQ(a, ids::ParentIdPrefix("usb\\vid_1&pid_2\\5&1&0&1", 2));  // instance paths compare without case
  EXPECT_NE(a, ids::ParentIdPrefix("USB\\VID_1&PID_2\\5&1&0&2", 2));
  EXPECT_EQ(a.rfind("3&", 0), 0u);
  EXPECT_TRUE(ids::EqualIds("Toy\\Widget", "TOY\\widget"));
  EXPECT_FALSE(ids::EqualIds("TOY\\A", "TOY\\AB"));
}
