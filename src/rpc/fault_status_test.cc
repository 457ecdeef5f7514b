// fault_status_test.cc -- the NCA fault / bind rejection to Win32 tables.
#include "rpc/fault_status.h"

#include <gtest/gtest.h>

namespace qz::rpc {
namespace {

TEST(FaultStatus, NcaFaultsMapToWindowsNumbers) {
  struct Case {
    uint32_t nca, win32;
  } cases[] = {
      {0x1C010001, 1820}, {0x1C010002, 1745}, {0x1C010003, 1717}, {0x1C010009, 1726},
      {0x1C01000B, 1728}, {0x1C010013, 1130}, {0x1C010014, 1723}, {0x1C010017, 1732},
      {0x1C000001, 1767}, {0x1C000003, 1769}, {0x1C000005, 1771}, {0x1C000006, 1733},
      {0x1C000007, 1734}, {0x1C000008, 1728}, {0x1C000009, 1726}, {0x1C00000A, 1727},
      {0x1C00000C, 1727}, {0x1C00000D, 1818}, {0x1C00000F, 1771}, {0x1C000010, 1768},
      {0x1C000012, 1726}, {0x1C000019, 14},   {0x1C00001A, 6},    {0x1C00001B, 1130},
      {0x1C00001C, 1728}, {0x1C00001D, 1821}, {0x1C00001F, 1727}, {0x000006D8, 1752},
      // Passed through unchanged.
      {5, 5}, {0x6F7, 0x6F7}, {0x1C010006, 0x1C010006}, {0x1C000013, 0x1C000013},
      {0x80070005, 0x80070005}, {0xC1FF3002, 0xC1FF3002},
  };
  for (const Case& c : cases) EXPECT_EQ(MapFaultStatus(c.nca), c.win32) << std::hex << c.nca;
}

TEST(FaultStatus, BindRejections) {
  EXPECT_EQ(MapBindNakReason(0), 1727u);
  EXPECT_EQ(MapBindNakReason(1), 1723u);
  EXPECT_EQ(MapBindNakReason(2), 1723u);
  EXPECT_EQ(MapBindNakReason(4), 1728u);
  EXPECT_EQ(MapBindNakReason(8), 1747u);
  EXPECT_EQ(MapBindNakReason(9), 5u);
  EXPECT_EQ(MapContextRejection(0, 0), 0u);
  EXPECT_EQ(MapContextRejection(2, 1), 1717u);
  EXPECT_EQ(MapContextRejection(2, 2), 1730u);
  EXPECT_EQ(MapContextRejection(1, 0), 1727u);
  EXPECT_EQ(MapContextRejection(2, 3), 1727u);
}

}  // namespace
}  // namespace qz::rpc
