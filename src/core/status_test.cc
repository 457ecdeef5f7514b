// status_test.cc -- the status list against the public header.
#include "core/status.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

TEST(Status, NameLookup) {
  EXPECT_STREQ(StatusName(QZ_E_BADSERVERID), "QZ_E_BADSERVERID");
  EXPECT_STREQ(StatusName(0xC1FF0001u), "QZ_E_TRACEFAILED");
  EXPECT_EQ(StatusName(0xC1FF3003u), nullptr);
  EXPECT_EQ(StatusName(1), nullptr);
}

TEST(Status, EveryValueIsALibraryStatusWithAText) {
  std::set<uint32_t> seen;
  for (const StatusInfo& s : LibraryStatuses()) {
    EXPECT_EQ(s.value & 0xFFFF0000u, 0xC1FF0000u) << s.name;
    EXPECT_EQ(FacilityNibble(s.value), 1u) << s.name;
    EXPECT_TRUE(seen.insert(s.value).second) << "duplicate " << s.name;
    EXPECT_GT(std::string(s.text).size(), 10u) << s.name;
    EXPECT_LT(std::string(s.text).size(), 124u) << s.name;
  }
}

// The compile-time check covers list -> header; this covers header -> list:
// a QZ_E_* macro added to the header without a list entry fails here.
TEST(Status, EveryHeaderMacroIsInTheList) {
  std::ifstream in(QZ_PUBLIC_HEADER);
  ASSERT_TRUE(in.good());
  std::stringstream ss;
  ss << in.rdbuf();
  std::string header = ss.str();
  std::regex def(R"(#define\s+(QZ_E_[A-Z0-9_]+)\s+(0x[0-9A-Fa-f]+)u?)");
  int count = 0;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), def);
       it != std::sregex_iterator(); ++it) {
    std::string name = (*it)[1];
    uint32_t value = static_cast<uint32_t>(std::stoul((*it)[2], nullptr, 16));
    const char* listed = StatusName(value);
    ASSERT_NE(listed, nullptr) << name;
    EXPECT_EQ(name, listed);
    ++count;
  }
  EXPECT_EQ(count, static_cast<int>(LibraryStatuses().size()));
}

TEST(Status, HResultForm) {
  EXPECT_EQ(HResultFromWin32(1722), 0x800706BAu);
  EXPECT_EQ(HResultFromWin32(0), 0u);
  EXPECT_EQ(HResultFromWin32(0xC0000005u), 0x80070005u);
}

}  // namespace
}  // namespace qz
