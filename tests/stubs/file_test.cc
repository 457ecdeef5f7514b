// file_test.cc -- the file transfer, draft and fax import exports against
// the scripted server, for a user without any right: one table of edge
// cases (target types 0-3 and 4, which names travel, null pointers the
// runtime refuses with 1780, drafts as whole blocks, one byte of an
// import), each checked for the status, the exact request or the absence
// of one, and the error slot; then the single-page fetch's local file and
// handle, and the session's own trace entries.
#include <sys/stat.h>

#include <functional>

#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);
constexpr uint32_t kNullRef = 1780;

class FileFamilyTest : public FamilyTest {};

struct Case {
  const char* name;
  std::function<uint32_t(uint32_t id)> call;
  uint32_t status;
  int opnum;                        // kNoCall: nothing may reach the server
  std::function<void(Wire&)> body;  // the request after the key
  uint32_t slot;                    // the error slot afterwards
};

void Text(Wire& w, const std::string& s) {
  w.PadTo(4).U32(static_cast<uint32_t>(s.size() + 1)).U32(0);
  w.U32(static_cast<uint32_t>(s.size() + 1)).Chars(s);
}

TEST_F(FileFamilyTest, ChecksRequestsAndRecording) {
  uint32_t value = 0;
  static Bytes draft = Filler(5, 3);
  auto fax_file = [](Wire& w) {
    w.I32(12);
    Text(w, "rec.tif");
  };
  auto delete_script = [](Wire& w) {
    w.I32(3);
    Text(w, "s.scr");
  };
  const Case cases[] = {
      {"receive type 0", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 0, 12, "ignored", "rec.tif", &value);
       }, 1, 44, fax_file, kSlotMarker},
      {"receive type 1 is type 0", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 1, 12, "ignored", "rec.tif", &value);
       }, 1, 44, fax_file, kSlotMarker},
      {"receive type 2", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 2, 12, "ignored", "rec.tif", &value);
       }, 1, 45, fax_file, kSlotMarker},
      {"receive type 3 sends both names", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 3, 12, "s.scr", "rec.tif", &value);
       }, 1, 46, [](Wire& w) {
         w.I32(12);
         Text(w, "s.scr");
         Text(w, "rec.tif");
       }, kSlotMarker},
      {"receive type 4", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 4, 12, "s.scr", "rec.tif", &value);
       }, QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"receive without a value pointer", [&](uint32_t id) {
         return RemoteReceiveFileFromServer(id, 0, 12, nullptr, "rec.tif", nullptr);
       }, kNullRef, kNoCall, nullptr, kNullRef},
      {"send type 3 without the script name", [&](uint32_t id) {
         return RemoteSendFileToServer(id, 3, 12, nullptr, "new.scr");
       }, QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"send type 2 without the target name", [&](uint32_t id) {
         return RemoteSendFileToServer(id, 2, 12, nullptr, "new.tif");
       }, 1, 48, [](Wire& w) {
         w.I32(12);
         Text(w, "new.tif");
       }, kSlotMarker},
      {"send type 3", [&](uint32_t id) {
         return RemoteSendFileToServer(id, 3, 12, "s.scr", "new.scr");
       }, 1, 49, [](Wire& w) {
         w.I32(12);
         Text(w, "s.scr");
         Text(w, "new.scr");
       }, kSlotMarker},
      {"send type 4", [&](uint32_t id) {
         return RemoteSendFileToServer(id, 4, 12, "s.scr", "new.scr");
       }, QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"send without a new name", [&](uint32_t id) {
         return RemoteSendFileToServer(id, 0, 12, "x", nullptr);
       }, QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"delete sends the type and the name", [&](uint32_t id) {
         return RemoteDeleteFileFromServer(id, 3, 1, 9, "s.scr");
       }, 1, 50, delete_script, kSlotMarker},
      {"delete: flag and ID do not travel", [&](uint32_t id) {
         return RemoteDeleteFileFromServer(id, 3, 77, 1000, "s.scr");
       }, 1, 50, delete_script, kSlotMarker},
      {"delete type 4", [&](uint32_t id) {
         return RemoteDeleteFileFromServer(id, 4, 0, 0, "s.scr");
       }, QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"import sends one byte", [&](uint32_t id) {
         return RemoteImportFaxInfo(id, 2, "QRS", 3);
       }, 1, 89, [](Wire& w) { w.I32(2).Raw({'Q', 0, 0, 0}).I32(3); }, kSlotMarker},
      {"import of a null block", [&](uint32_t id) {
         return RemoteImportFaxInfo(id, 2, nullptr, 3);
       }, kNullRef, kNoCall, nullptr, kNullRef},
      {"new draft, whole block", [&](uint32_t id) {
         return NewDraftInformation(id, draft.data(), 5);
       }, 1, 99, [](Wire& w) { w.I32(5).U32(5).Raw(draft.data(), 5); }, kSlotMarker},
      {"new draft of 0 bytes sends an empty block", [&](uint32_t id) {
         return NewDraftInformation(id, draft.data(), 0);
       }, 1, 99, [](Wire& w) { w.I32(0).U32(0); }, kSlotMarker},
      {"new draft from null", [&](uint32_t id) { return NewDraftInformation(id, nullptr, 5); },
       kNullRef, kNoCall, nullptr, kNullRef},
      {"edit draft", [&](uint32_t id) { return EditDraftInformation(id, draft.data(), 5); }, 1,
       98, [](Wire& w) { w.I32(5).U32(5).Raw(draft.data(), 5); }, kSlotMarker},
      {"read draft sends the caller's size", [&](uint32_t id) {
         void* block = nullptr;
         uint32_t size = 33;
         const uint32_t r = GetDraftInformation(id, &block, &size);
         platform::HeapFree(block);
         return r;
       }, 1, 96, [](Wire& w) { w.I32(33); }, kSlotMarker},
      {"read draft into null", [&](uint32_t id) { return GetDraftInformation(id, nullptr, nullptr); },
       kNullRef, kNoCall, nullptr, kNullRef},
      {"delete draft", [&](uint32_t id) { return DelDraftInformation(id, 7); }, 1, 97,
       [](Wire& w) { w.I32(7); }, kSlotMarker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Login({0, 0, 0, 0});
    EXPECT_EQ(c.call(id_), c.status);
    EXPECT_EQ(Opnum(), c.opnum);
    if (c.body) {
      Wire w;
      PutTestKey(w);
      c.body(w);
      std::optional<Bytes> sent = Request();
      ASSERT_TRUE(sent.has_value());
      EXPECT_TRUE(SameBytes(*sent, w.bytes()));
    }
    EXPECT_EQ(SlotCode(), c.slot);
  }
}

// Server results come back without being stored; replies arrive whole.
TEST_F(FileFamilyTest, ServerResultsAndReplies) {
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
  void* block = reinterpret_cast<void*>(0x10);  // not the caller's to offer
  uint32_t size = 0;
  EXPECT_EQ(GetDraftInformation(id_, &block, &size), 1u);
  EXPECT_EQ(size, 5u);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(block)[4], 0x5A);
  platform::HeapFree(block);
}

// The local file exists, truncated, when the server is called, and the
// handle it gets is that file's; the handle is closed afterwards. A file
// that cannot be created ends the call with its system code.
TEST_F(FileFamilyTest, OnePageCreatesTheLocalFileFirst) {
  const std::string path = (dir_ / "page.tif").string();
  { std::ofstream(path) << "old content"; }
  std::string seen_path;
  long seen_size = -1;
  int32_t seen_fd = -1, seen_id = 0;
  server_->OnCall(90, [&](rpc::ServerArgs& args) {
    seen_id = args[2].number;
    seen_fd = args[3].number;
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(seen_fd);
    if (readlink(link.c_str(), target, sizeof target - 1) > 0) seen_path = target;
    struct stat st;
    if (fstat(seen_fd, &st) == 0) seen_size = st.st_size;
    return 1;
  });
  EXPECT_EQ(RemoteGetOnePageFromServer(id_, 4, path.c_str()), 1u);
  EXPECT_EQ(seen_id, 4);
  EXPECT_EQ(seen_path, std::filesystem::canonical(path).string());
  EXPECT_EQ(seen_size, 0);
  char target[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(seen_fd);
  const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
  EXPECT_TRUE(len < 0 || std::string(target) != seen_path) << "the page file was left open";

  server_->ClearCalls();
  struct Refusal {
    std::string path;
    uint32_t code;
  };
  std::vector<Refusal> refusals = {{(dir_ / "missing" / "p.tif").string(), 3},
                                   {"", 3}};
  if (geteuid() != 0) {  // root writes anywhere
    std::filesystem::create_directory(dir_ / "locked");
    chmod((dir_ / "locked").c_str(), 0500);
    refusals.push_back({(dir_ / "locked" / "p.tif").string(), 5});
  }
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(RemoteGetOnePageFromServer(id_, 4, r.path.c_str()), r.code);
    EXPECT_EQ(SlotCode(), kSlotMarker);
  }
  EXPECT_TRUE(server_->Calls().empty());
  chmod((dir_ / "locked").c_str(), 0700);
}

// Receiving (every type) and sending fax files add the session's entry,
// one timestamp with the call and the return label; nothing else does,
// nor a call that raised an exception.
TEST_F(FileFamilyTest, TraceEntries) {
  uint32_t value = 0;
  ClearTrace();
  EXPECT_EQ(RemoteReceiveFileFromServer(id_, 3, 12, "s.scr", "r", &value), 1u);
  EXPECT_EQ(RemoteSendFileToServer(id_, 1, 13, nullptr, "n"), 1u);
  EXPECT_EQ(RemoteSendFileToServer(id_, 2, 14, nullptr, "n"), 1u);
  EXPECT_EQ(RemoteDeleteFileFromServer(id_, 0, 0, 15, "d"), 1u);
  server_->Fault(45, 1722);
  EXPECT_EQ(RemoteReceiveFileFromServer(id_, 2, 16, nullptr, "r", &value), 1722u);
  EXPECT_EQ(RemoteReceiveFileFromServer(id_ + 1, 0, 17, nullptr, "r", &value), QZ_E_BADSERVERID);
  EXPECT_EQ(NewDraftInformation(id_, "x", 1), 1u);
  EXPECT_EQ(TraceLabels(),
            (std::vector<std::string>{
                "Call RemoteReceiveFileFromServer", "Call rpcGetScriptFileFromServer",
                "Call rpcGetScriptFileFromServer return", "Call RemoteReceiveFileFromServer return",
                "Call RemoteSendFileToServer", "Call rpcReplaceFaxFile",
                "Call rpcReplaceFaxFile return", "Call RemoteSendFileToServer return",
                "Call RemoteSendFileToServer", "Call RemoteSendFileToServer return",
                "Call RemoteDeleteFileFromServer", "Call RemoteDeleteFileFromServer return",
                "Call RemoteReceiveFileFromServer", "Call RemoteReceiveFileFromServer return",
                "Call RemoteReceiveFileFromServer", "Call RemoteReceiveFileFromServer return"}));
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
