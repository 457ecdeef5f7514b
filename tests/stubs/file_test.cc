// file_test.cc -- file transfer, drafts and fax import for a user without
// any right: target types 0-3 and 4, which names travel, 1780 for the null
// pointers the runtime refuses, drafts as whole blocks, one byte of an
// import; the page fetch's local file and handle; the session's own trace
// entries.
#include <sys/stat.h>

#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);
constexpr uint32_t kNullRef = 1780;

class FileFamilyTest : public FamilyTest {};

// A number, then texts.
std::function<void(Wire&)> NumTexts(int32_t v, std::vector<std::string> texts) {
  return [=](Wire& w) {
    w.I32(v);
    for (const std::string& t : texts) Text(w, t);
  };
}

TEST_F(FileFamilyTest, ChecksRequestsAndRecording) {
  uint32_t value = 0;
  static const Bytes draft = Filler(5, 3);
  auto receive = [&](uint32_t type, const char* script, uint32_t* pv) {
    return [=](uint32_t id) { return RemoteReceiveFileFromServer(id, type, 12, script, "r", pv); };
  };
  auto send = [](uint32_t type, const char* target, const char* name) {
    return [=](uint32_t id) { return RemoteSendFileToServer(id, type, 12, target, name); };
  };
  auto del = [](uint32_t type, uint32_t flag, uint32_t file) {
    return [=](uint32_t id) { return RemoteDeleteFileFromServer(id, type, flag, file, "s"); };
  };
  auto draft_block = [](Wire& w) { w.I32(5).U32(5).Raw(draft.data(), 5); };
  const Rights none = {};
  const uint32_t badarg = QZ_E_INVALIDARG;
  RunCases({
      Sent("receive 0", none, receive(0, "x", &value), 44, NumTexts(12, {"r"})),
      Sent("receive 1 is 0", none, receive(1, "x", &value), 44, NumTexts(12, {"r"})),
      Sent("receive 2", none, receive(2, "x", &value), 45, NumTexts(12, {"r"})),
      Sent("receive 3: both names", none, receive(3, "s", &value), 46, NumTexts(12, {"s", "r"})),
      Refused("receive 4", none, receive(4, "s", &value), badarg),
      Refused("receive, null value", none, receive(0, "s", nullptr), kNullRef),
      Refused("send 3, no script name", none, send(3, nullptr, "n"), badarg),
      Sent("send 2, no target name", none, send(2, nullptr, "n"), 48, NumTexts(12, {"n"})),
      Sent("send 3", none, send(3, "s", "n"), 49, NumTexts(12, {"s", "n"})),
      Refused("send 4", none, send(4, "s", "n"), badarg),
      Refused("send, no new name", none, send(0, "s", nullptr), badarg),
      Sent("delete: type and name", none, del(3, 1, 9), 50, NumTexts(3, {"s"})),
      Sent("delete: flag and ID stay", none, del(3, 77, 1000), 50, NumTexts(3, {"s"})),
      Refused("delete 4", none, del(4, 0, 0), badarg),
      Sent("import: one byte", none,
           [](uint32_t id) { return RemoteImportFaxInfo(id, 2, "QRS", 3); }, 89,
           [](Wire& w) { w.I32(2).Raw({'Q', 0, 0, 0}).I32(3); }),
      Refused("import null", none,
              [](uint32_t id) { return RemoteImportFaxInfo(id, 2, nullptr, 3); }, kNullRef),
      Sent("new draft", none, [](uint32_t id) { return NewDraftInformation(id, draft.data(), 5); },
           99, draft_block),
      Sent("new draft of 0 bytes", none,
           [](uint32_t id) { return NewDraftInformation(id, draft.data(), 0); }, 99,
           [](Wire& w) { w.I32(0).U32(0); }),
      Refused("new draft from null", none,
              [](uint32_t id) { return NewDraftInformation(id, nullptr, 5); }, kNullRef),
      Sent("edit draft", none,
           [](uint32_t id) { return EditDraftInformation(id, draft.data(), 5); }, 98, draft_block),
      Refused("read draft into null", none,
              [](uint32_t id) { return GetDraftInformation(id, nullptr, nullptr); }, kNullRef),
      Sent("delete draft", none, [](uint32_t id) { return DelDraftInformation(id, 7); }, 97,
           [](Wire& w) { w.I32(7); }),
  });
}

// Server results come back unstored; a draft's size goes out and the
// block comes back whole, whatever the caller left in its pointer.
TEST_F(FileFamilyTest, ServerResultsAndDraftReply) {
  server_->OnCall(44, [](rpc::ServerArgs& args) {
    args[4].number = 0x5150;
    return kRefusal;
  });
  uint32_t value = 0;
  EXPECT_EQ(RemoteReceiveFileFromServer(id_, 0, 1, nullptr, "r", &value),
            static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(value, 0x5150u);
  EXPECT_EQ(SlotCode(), kSlotMarker);

  AnswerBytes(96, 3, 5);
  void* block = reinterpret_cast<void*>(0x10);
  uint32_t size = 33;
  EXPECT_EQ(GetDraftInformation(id_, &block, &size), 1u);
  EXPECT_EQ(server_->Calls().back().args[2].number, 33);
  EXPECT_EQ(size, 5u);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(block)[4], 0x5A);
  platform::HeapFree(block);
}

// The local file exists, truncated, when the server is called with its
// handle; the handle is closed afterwards. A file that cannot be created
// ends the call with its system code and calls nothing.
TEST_F(FileFamilyTest, OnePageCreatesTheLocalFileFirst) {
  const std::string path = (dir_ / "page.tif").string();
  std::ofstream(path) << "old content";
  std::string seen_path;
  long seen_size = -1;
  int32_t seen_fd = -1;
  auto target_of = [](int fd) {
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : "";
  };
  server_->OnCall(90, [&](rpc::ServerArgs& args) {
    seen_fd = args[3].number;
    seen_path = target_of(seen_fd);
    struct stat st;
    if (fstat(seen_fd, &st) == 0) seen_size = st.st_size;
    return args[2].number == 4 ? 1 : 0;
  });
  EXPECT_EQ(RemoteGetOnePageFromServer(id_, 4, path.c_str()), 1u);
  EXPECT_EQ(seen_path, std::filesystem::canonical(path).string());
  EXPECT_EQ(seen_size, 0);
  EXPECT_NE(target_of(seen_fd), seen_path) << "the page file was left open";

  server_->ClearCalls();
  std::vector<std::pair<std::string, uint32_t>> refusals = {
      {(dir_ / "missing" / "p.tif").string(), 3}, {"", 3}, {dir_.string(), 5}};
  if (geteuid() != 0) {  // root writes anywhere
    std::filesystem::create_directory(dir_ / "locked");
    chmod((dir_ / "locked").c_str(), 0500);
    refusals.push_back({(dir_ / "locked" / "p.tif").string(), 5});
  }
  for (const auto& [where, code] : refusals) {
    EXPECT_EQ(RemoteGetOnePageFromServer(id_, 4, where.c_str()), code) << where;
  }
  EXPECT_EQ(SlotCode(), kSlotMarker);
  EXPECT_TRUE(server_->Calls().empty());
  chmod((dir_ / "locked").c_str(), 0700);
}

// Receiving (every type) and sending fax files add the session's entry,
// one timestamp for the call and its return; nothing else does, nor a
// call that raised an exception.
TEST_F(FileFamilyTest, TraceEntries) {
  uint32_t value = 0;
  ClearTrace();
  EXPECT_EQ(RemoteReceiveFileFromServer(id_, 3, 12, "s.scr", "r", &value), 1u);
  EXPECT_EQ(RemoteSendFileToServer(id_, 1, 13, nullptr, "n"), 1u);
  EXPECT_EQ(RemoteSendFileToServer(id_, 2, 14, nullptr, "n"), 1u);
  server_->Fault(45, 1722);
  EXPECT_EQ(RemoteReceiveFileFromServer(id_, 2, 16, nullptr, "r", &value), 1722u);
  EXPECT_EQ(RemoteDeleteFileFromServer(id_ + 1, 0, 0, 15, "d"), QZ_E_BADSERVERID);
  EXPECT_EQ(NewDraftInformation(id_, "x", 1), 1u);
  const std::string rf = "Call RemoteReceiveFileFromServer", sf = "Call RemoteSendFileToServer",
                    df = "Call RemoteDeleteFileFromServer";
  EXPECT_EQ(TraceLabels(),
            (std::vector<std::string>{
                rf, "Call rpcGetScriptFileFromServer", "Call rpcGetScriptFileFromServer return",
                rf + " return", sf, "Call rpcReplaceFaxFile", "Call rpcReplaceFaxFile return",
                sf + " return", sf, sf + " return", rf, rf + " return", df, df + " return"}));
  const std::string log = TraceLog();
  EXPECT_NE(log.find("mm\t Call rpcGetScriptFileFromServer\n\tdwID = 12\n"
                     "\tT2A(pszTargetFileName) = s.scr\n"
                     " Call rpcGetScriptFileFromServer return\n\tlret = 1\n\n"),
            std::string::npos);
  EXPECT_NE(log.find("\tdwDelFlag = 0\n\tdwID = 15\n\tpszTargetFileName = d\n"),
            std::string::npos);
}

}  // namespace
}  // namespace qz::stubs_test
