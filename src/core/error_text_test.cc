// error_text_test.cc -- text lookup with and without the message module,
// the per-thread record and the error box.
#include "core/error_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/qz_except.h"
#include "core/status.h"
#include "platform/platform.h"
#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

class ModuleAbsent {
 public:
  ModuleAbsent() { SetMessageModuleNameForTesting("libqzmsg-absent.so"); }
  ~ModuleAbsent() { SetMessageModuleNameForTesting(nullptr); }
};

TEST(StatusText, EveryLibraryStatusComesFromTheModule) {
  for (const StatusInfo& s : LibraryStatuses()) EXPECT_EQ(StatusText(s.value), s.text) << s.name;
}

// The server's statuses have their texts in the module too; a code of the
// server's range that is not a status falls back like any unknown code.
TEST(StatusText, ServerStatusesComeFromTheModule) {
  struct ServerText {
    uint32_t code;
    const char* text;
  } const cases[] = {
#define QZ_SERVER_STATUS(name, text) {name, text},
#include "msg/server_statuses.inc"
#undef QZ_SERVER_STATUS
  };
  ASSERT_EQ(std::size(cases), 37u);
  for (const ServerText& c : cases) EXPECT_EQ(StatusText(c.code), c.text) << std::hex << c.code;
  EXPECT_EQ(StatusText(QZ_S_BAD_KEY), StatusText(0xC1FE0001u));
  EXPECT_EQ(StatusText(0xC1FE0058u), platform::SystemMessageText(317));  // the unused one
}

TEST(StatusText, MissingModuleGivesSystemTextOf126) {
  ModuleAbsent absent;
  qz_except e(QZ_E_NOTLOGGEDIN, nullptr);
  EXPECT_STREQ(e.GetErrorText(), "The specified module could not be found.");
}

TEST(StatusText, UnknownLibraryCodeGivesTextOf317) {
  EXPECT_EQ(StatusText(0xC1FF3003u), platform::SystemMessageText(317));
}

TEST(StatusText, FormatBounds) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FormatStatusText(buf, 0, 5), -1);
  EXPECT_EQ(buf[0], 'x');  // nothing written
  EXPECT_EQ(FormatStatusText(buf, 6, 5), 0);
  EXPECT_STREQ(buf, "Acces");  // cut to size including the NUL
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FormatStatusText(buf, 8, 0x45000000u), 0);
  EXPECT_EQ(buf[0], 'x');  // other facility: buffer untouched
}

TEST(ThreadRecord, RecordsPerThreadAndTruncates) {
  QZERRORINFO info;
  std::thread([&] {
    std::memset(&info, 0xAB, sizeof info);
    CopyThreadError(&info);  // a thread that never recorded: zeros
  }).join();
  EXPECT_EQ(info.dwErrorCode, 0u);
  EXPECT_EQ(info.szErrorInfo[0], '\0');

  RecordThreadError(QZ_E_INVALIDARG, nullptr);
  CopyThreadError(&info);
  EXPECT_EQ(info.dwErrorCode, QZ_E_INVALIDARG);
  EXPECT_EQ(std::string(info.szErrorInfo), StatusText(QZ_E_INVALIDARG));

  std::string long_text(300, 'q');
  RecordThreadError(1722, long_text.c_str());
  CopyThreadError(&info);
  EXPECT_EQ(info.dwErrorCode, 1722u);
  EXPECT_EQ(std::string(info.szErrorInfo), std::string(127, 'q'));

  QZERRORINFO other;
  std::thread([&] {
    RecordThreadError(5, "other thread");
    CopyThreadError(&other);
  }).join();
  EXPECT_EQ(other.dwErrorCode, 5u);
  CopyThreadError(&info);
  EXPECT_EQ(info.dwErrorCode, 1722u);  // this thread's record is unchanged
  static_assert(sizeof(QZERRORINFO) == 132);
}

std::vector<std::string>* g_boxes;
void Capture(const char* text, const char* caption) {
  g_boxes->push_back(std::string(caption) + "|" + text);
}

class ErrorBox : public testing::Test {
 protected:
  void SetUp() override {
    g_boxes = &boxes_;
    old_ = platform::SetMessageBoxSink(&Capture);
  }
  void TearDown() override { platform::SetMessageBoxSink(old_); }
  std::vector<std::string> boxes_;
  platform::MessageBoxSink old_ = nullptr;
};

TEST_F(ErrorBox, Format) {
  EXPECT_EQ(ShowErrorBox(5), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "Quazel|Error Code: (0x00000005), Message: Access is denied.\n");
  ShowErrorBox(QZ_E_BADSERVERID);
  EXPECT_EQ(boxes_[1], "Quazel|Error Code: (0xc1ff3002), Message: " +
                           StatusText(QZ_E_BADSERVERID) + "\n");
}

TEST_F(ErrorBox, FallsBackToLastError) {
  {
    ModuleAbsent absent;
    ShowErrorBox(QZ_E_BADSERVERID);
  }
  ShowErrorBox(424242);  // no text: the box for 317
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0], "Quazel|Error Code: (0x0000007e), Message: The specified module could "
                       "not be found.\n");
  EXPECT_EQ(boxes_[1].rfind("Quazel|Error Code: (0x0000013d), Message: ", 0), 0u);
}

}  // namespace
}  // namespace qz
