// send_test.cc -- the fax submission, send-task and service-control
// exports (and the session operations no export reaches) against the
// scripted server, through the real stubs: exact request bytes, the order
// of the checks, what lands in the session's error slot or the thread's
// error record, and the exact trace records.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/error_text.h"
#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "platform/platform.h"
#include "rpc/binding_api.h"
#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {
namespace {

namespace fs = std::filesystem;
using test_support::Action;
using Rights = std::array<uint32_t, 4>;

constexpr uint32_t kSentinel = 0xE0000001u;  // error code preset before each case
constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0042u);
constexpr Rights kAll = {~0u, ~0u, ~0u, ~0u}, kNone = {0, 0, 0, 0};

std::vector<std::string> g_boxes;
void CaptureBox(const char* text, const char* caption) {
  g_boxes.push_back(std::string(caption) + "|" + text);
}

// A reply block of n bytes at position pos, with the given answer.
Action Reply(size_t pos, size_t n, int32_t answer = 1) {
  return Action::Call([=](rpc::ServerArgs& a) {
    a[pos].present = true;
    a[pos].bytes.assign(n, 0x31);
    return answer;
  });
}
// Key, then a 32-bit list of `bytes` bytes sent as `bytes` elements.
Bytes IdList(const void* ids, uint32_t bytes, std::initializer_list<uint32_t> tail) {
  Wire w;
  PutTestKey(w).U32(bytes).Raw(ids, bytes).Zeros(3 * size_t{bytes}).U32(bytes);
  for (uint32_t v : tail) w.U32(v);
  return w.bytes();
}
Bytes KeyThen(std::initializer_list<uint32_t> values) {
  Wire w;
  PutTestKey(w);
  for (uint32_t v : values) w.U32(v);
  return w.bytes();
}

class SendTest : public StubsTest {
 protected:
  void SetUp() override {
    StubsTest::SetUp();
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("qzsend-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
    test_support::LoginProfile profile;
    profile.session = 0x01020304;  // the fixture's test key
    server_->SetLoginProfile(profile);
    ASSERT_EQ(LogInServer(&id_), 1u);
    session_ = exports::SlotSession();
    old_sink_ = platform::SetMessageBoxSink(&CaptureBox);
  }
  void TearDown() override {
    QZIfUninitialize();
    platform::SetMessageBoxSink(old_sink_);
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
    StubsTest::TearDown();
  }
  // Resets server calls, error slot, thread record, trace and boxes.
  void Fresh(const Rights& r) {
    server_->ClearCalls();
    SessionTestAccess::SetRights(*session_, r[0], r[1], r[2], r[3]);
    session_->SetError(kSentinel, "sentinel");
    RecordThreadError(kSentinel, "sentinel");
    fs::remove(dir_ / qz::kTraceFileName);
    g_boxes.clear();
  }
  // The trace since Fresh: labels, "name = value" items (long hex values,
  // the addresses, read "P"; the server ID "{id}") and "[dump N]".
  std::vector<std::string> Trace() const {
    std::ifstream in(dir_ / qz::kTraceFileName);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
      size_t mm = line.find("mm\t ");
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
          mm != std::string::npos) {
        out.push_back(line.substr(mm + 4));
      } else if (line.rfind("\t0x", 0) == 0 && line.find('\t', 1) != std::string::npos) {
        size_t from = line.find('\t', 1) + 1, to = line.find('\t', from);
        size_t n = ((to == std::string::npos ? line.size() : to) - from) / 3;
        if (out.back().rfind("[dump ", 0) == 0) n += std::stoul(out.back().substr(6)), out.pop_back();
        out.push_back("[dump " + std::to_string(n) + "]");
      } else if (size_t eq = line.find(" = "); line.rfind('\t', 0) == 0 && eq != std::string::npos) {
        std::string value = line.substr(eq + 3);
        if (value.rfind("0x", 0) == 0 && value.size() > 10) value = "P";
        if (line.rfind("\tdwServerID = ", 0) == 0 && value == std::to_string(id_)) value = "{id}";
        out.push_back(line.substr(1, eq - 1) + " = " + value);
      }
    }
    return out;
  }
  uint32_t ThreadError() {
    QZERRORINFO info;
    GetLastErrorInfo(&info);
    return info.dwErrorCode;
  }

  uint32_t id_ = 0;
  CServerSession* session_ = nullptr;
  platform::MessageBoxSink old_sink_ = nullptr;
  fs::path dir_, old_cwd_;
};

struct Case {
  const char* name;
  Rights rights;
  std::function<uint32_t()> call;
  int opnum;       // the one procedure expected; -1: none
  Bytes request;   // its request stub (checked when not empty)
  Action action;
  uint32_t result;
  uint32_t slot;   // error slot afterwards
  std::vector<std::string> trace;  // checked when not empty
  std::function<void()> after = [] {};
};

TEST_F(SendTest, EdgeCases) {
  // Three jobs of 100, 200 and 300 bytes, each led by its length.
  Bytes jobs(600, 0x33);
  const uint32_t lengths[] = {100, 200, 300};
  for (size_t i = 0, at = 0; i < 3; at += lengths[i++]) std::memcpy(&jobs[at], &lengths[i], 4);
  // Two transfer headers with 1 and 3 items, then the 4 items.
  Bytes transfer(680, 0x55);
  std::memcpy(&transfer[4], "\1\0\0\0", 4);
  std::memcpy(&transfer[16], "\3\0\0\0", 4);
  Bytes results;
  auto fresh_results = [&](size_t n) { results.assign(n * 44, 0x44); return results.data(); };
  auto probed = [](size_t n) { Bytes b(n * 44, 0x44); b[(n - 1) * 44] = 0; return b; };
  const uint32_t ids[5] = {0x11, 0x12, 0x13, 0x14, 0x15};
  Bytes tasks(1024, 0x66), fields(192, 0x77);
  void* block = nullptr;
  uint32_t count = 0;
  void* unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(unreadable, MAP_FAILED);
  auto take_block = [&] { RDMemFree(block); block = nullptr; };
  const Bytes send_request = Wire()
      .Raw(KeyThen({600}).data(), 28).Raw(jobs.data(), 600).U32(600).U32(132)
      .Raw(probed(3).data(), 132).U32(132).bytes();
  const Bytes transfer_request = Wire()
      .Raw(KeyThen({680}).data(), 28).Raw(transfer.data(), 680).Zeros(3 * 680).U32(680).U32(88)
      .Raw(probed(2).data(), 88).U32(88).bytes();
  auto edit_pri = [&] { return RemoteEditTaskPRI(id_, reinterpret_cast<const TASKPRIORITY*>(fields.data()), 2); };
  auto pri_request = Wire().Raw(KeyThen({24}).data(), 28).Raw(fields.data(), 24).U32(24).bytes();
  auto view = [&](uint32_t flag) { return RemoteViewSendTask(id_, flag, 77, reinterpret_cast<SENDTASK_TABLE**>(&block), &count); };
  auto progress = [&](TASKINFO** pp, uint32_t* pn) { return RemoteGetTaskProgress(id_, ids, 2, pp, pn); };
  auto del = [&] { return RemoteDeleteTask(id_, ids, 1, 3); };
  auto lock = [&](uint32_t flag) { return RemoteLockTask(id_, ids, 2, flag); };
  const uint32_t refusal = static_cast<uint32_t>(kRefusal);

  const Case cases[] = {
      {"submission: arguments before state and right", kNone, [&] { return RemoteSendFax(id_, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 0, reinterpret_cast<SENDRESULT_TABLE*>(fresh_results(1))); },
       -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {"Call RemoteSendFax ", "dwServerID = {id}", "Call RemoteSendFax return ", "lret = -1040240639"}},
      {"submission: null result array without right", kNone, [&] { return RemoteSendFax(id_, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 3, nullptr); },
       -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"submission: 100+200+300 bytes send 600, results come back", {0, 0, 0x20, 0}, [&] { return RemoteSendFax(id_, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 3, reinterpret_cast<SENDRESULT_TABLE*>(fresh_results(3))); },
       13, send_request, Action::Call([](rpc::ServerArgs& a) { a[4].bytes.assign(a[4].bytes.size(), 0x21); return 1; }), 1, kSentinel,
       {"Call RemoteSendFax ", "dwServerID = {id}", "Call rpcSendFax ", "pFaxInfo = P", "dwSize = 0x258", "[dump 600]",
        "Call rpcSendFax return ", "lret = 1", "pResultArray = P", "dwSize = 0x258", "[dump 132]", "Call RemoteSendFax return ", "lret = 1"},
       [&] { EXPECT_EQ(results, Bytes(132, 0x21)); }},
      {"submission: every right but the send bit", {~0u, ~0u, ~0x20u, ~0u}, [&] { return RemoteSendFax(id_, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 3, reinterpret_cast<SENDRESULT_TABLE*>(fresh_results(3))); },
       -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"submission: unreadable job is recorded, nothing sent", kAll, [&] { return RemoteSendFax(id_, static_cast<const FAXJOB_TABLE*>(unreadable), 1, reinterpret_cast<SENDRESULT_TABLE*>(fresh_results(1))); },
       -1, {}, {}, kAccessViolationCode, kAccessViolationCode, {"Call RemoteSendFax ", "dwServerID = {id}", "Call RemoteSendFax return ", "lret = -1073741819"}},
      {"submission: unwritable result array", kAll, [&] { return RemoteSendFax(id_, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 1, static_cast<SENDRESULT_TABLE*>(unreadable)); },
       -1, {}, {}, QZ_E_ACCESSVIOLATION, QZ_E_ACCESSVIOLATION, {}},
      {"transfer: right before arguments", kNone, [&] { return RemoteTransmitFax(id_, reinterpret_cast<const TRANSFERFAX_TABLE*>(transfer.data()), 0, nullptr); },
       -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"transfer: null result array faults the write test", {0, 0, 0x20, 0}, [&] { return RemoteTransmitFax(id_, reinterpret_cast<const TRANSFERFAX_TABLE*>(transfer.data()), 2, nullptr); },
       -1, {}, {}, QZ_E_ACCESSVIOLATION, QZ_E_ACCESSVIOLATION, {},
       [&] { EXPECT_EQ(g_boxes, std::vector<std::string>{"Exception Happen|access violation"});
             EXPECT_STREQ(session_->ErrorSnapshot().GetErrorText(), "access violation"); }},
      {"transfer: headers of 1 and 3 items send 680", kAll, [&] { return RemoteTransmitFax(id_, reinterpret_cast<const TRANSFERFAX_TABLE*>(transfer.data()), 2, reinterpret_cast<SENDRESULT_TABLE*>(fresh_results(2))); },
       14, transfer_request, Action::Status(kRefusal), refusal, refusal,
       {"Call RemoteTransmitFax ", "dwServerID = {id}", "Call rpcTransferFax ", "pFaxArray = P", "dwSize = 0x2a8", "[dump 680]",
        "Call rpcTransferFax return ", "lret = -1040318398", "pResultArray = P", "dwSize = 0x2a8", "[dump 88]", "Call RemoteTransmitFax return ", "lret = -1040318398"}},
      {"stop: five IDs send 20", {0, 0, 0x100, 0}, [&] { return RemoteSendFaxStop(id_, ids, 5); }, 15, IdList(ids, 20, {}), {}, 1, kSentinel,
       {"Call RemoteSendFaxStop ", "dwServerID = {id}", "pFaxIDArray = P", "dwFaxNum = 0x5", "[dump 5]", "Call RemoteSendFaxStop return ", "lret = 1"}},
      {"stop: no IDs", kAll, [&] { return RemoteSendFaxStop(id_, ids, 0); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"stop: every right but 0x100", {~0u, ~0u, ~0x100u, ~0u}, [&] { return RemoteSendFaxStop(id_, ids, 1); }, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"view: flag 2", kAll, [&] { return view(2); }, -1, {}, {}, QZ_E_BADOPTYPE, QZ_E_BADOPTYPE, {}},
      {"view: flag 0 needs dwRights[0] 0x40, 3072 bytes are 3 records", {0x40, 0, 0, 0}, [&] { return view(0); },
       16, KeyThen({0, 77, 0, 0}), Reply(4, 3072), 1, kSentinel,
       {"Call RemoteViewSendTask ", "dwServerID = {id}", "dwGetFlag = 0", "dwFaxID = 77", "Call RemoteViewSendTask return ", "lret = 1"},
       [&] { EXPECT_EQ(count, 3u); EXPECT_NE(block, nullptr); take_block(); }},
      {"view: flag 0 ignores dwRights[2]", {~0x40u, ~0u, ~0u, ~0u}, [&] { return view(0); }, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"view: a block passed in that cannot take the answer", kAll, [&] { block = unreadable; count = 16; uint32_t r = view(0); block = nullptr; return r; },
       -1, {}, {}, kAccessViolationCode, kAccessViolationCode, {}},
      {"view: a refusal leaves the byte count", {0, 0, 0x40, 0}, [&] { return view(1); }, 16, KeyThen({1, 77, 0, 0}),
       Reply(4, 2048, kRefusal), refusal, refusal, {}, [&] { EXPECT_EQ(count, 2048u); take_block(); }},
      {"priorities: dwRights[0] 0x10 alone", {0x10, 0, 0, 0}, edit_pri, 21, pri_request, {}, 1, kSentinel,
       {"Call RemoteEditTaskPRI ", "dwServerID = {id}", "pTaskInfo = P", "dwFaxNum * sizeof(TASKPRIORITY) = 0x18", "[dump 24]", "Call RemoteEditTaskPRI return ", "lret = 1"}},
      {"priorities: dwRights[2] 0x80 alone", {0, 0, 0x80, 0}, edit_pri, 21, pri_request, {}, 1, kSentinel, {}},
      {"priorities: neither bit", {~0x10u, ~0u, ~0x80u, ~0u}, edit_pri, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"delete: dwRights[0] 0x20 alone; a refusal is not recorded", {0x20, 0, 0, 0}, del, 22, IdList(ids, 4, {3}), Action::Status(kRefusal), refusal, kSentinel,
       {"Call RemoteDeleteTask ", "dwServerID = {id}", "dwTskList = P", "dwFaxNum * sizeof(DWORD) = 0x4", "[dump 4]", "dwDelFlag = 3", "Call RemoteDeleteTask return ", "lret = -1040318398"}},
      {"delete: dwRights[2] 0x100 alone", {0, 0, 0x100, 0}, del, 22, IdList(ids, 4, {3}), {}, 1, kSentinel, {}},
      {"delete: neither bit", {~0x20u, ~0u, ~0x100u, ~0u}, del, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"lock: flag 1", {0, 0, 0x80, 0}, [&] { return lock(1); }, 19, IdList(ids, 8, {}), {}, 1, kSentinel,
       {"Call RemoteLockTask ", "dwServerID = {id}", "pdwArray = P", "dwFaxNum = 0x2", "[dump 2]", "dwLockFlag = 1", "Call RemoteLockTask return ", "lret = 1"}},
      {"lock: flag 9 sends the same", {0, 0, 0x80, 0}, [&] { return lock(9); }, 19, IdList(ids, 8, {}), {}, 1, kSentinel, {}},
      {"lock: every right but 0x80", {~0u, ~0u, ~0x80u, ~0u}, [&] { return lock(1); }, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"progress: 40 bytes are 2 records, also on a refusal", {0, 0, 0x200, 0}, [&] { return progress(reinterpret_cast<TASKINFO**>(&block), &count); },
       23, IdList(ids, 8, {0, 0}), Reply(4, 40, kRefusal), refusal, refusal,
       {"Call RemoteGetTaskProgress ", "dwServerID = {id}", "(*dwFaxIDArray) = 0x00000011", "dwFaxNum*sizeof(DWORD) = 0x8", "[dump 8]",
        "Call RemoteGetTaskProgress return ", "lret = -1040318398", "(*ppInfo) = P", "(*pdwRecordCount) * sizeof(TASKINFO) = 0x20", "[dump 32]"},
       [&] { EXPECT_EQ(count, 2u); take_block(); }},
      {"progress: dwRights[0] 0x40 alone", {0x40, 0, 0, 0}, [&] { return progress(reinterpret_cast<TASKINFO**>(&block), &count); }, 23, IdList(ids, 8, {0, 0}), {}, 1, kSentinel, {}},
      {"progress: right before a null output", {~0x40u, ~0u, ~0x200u, ~0u}, [&] { return progress(nullptr, nullptr); }, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"progress: null count refused", kAll, [&] { return progress(reinterpret_cast<TASKINFO**>(&block), nullptr); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"progress: null block pointer refused", kAll, [&] { return progress(nullptr, &count); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"authorisation list: null count refused", kNone, [&] { return RemoteGetAuthTasks(id_, reinterpret_cast<SENDTASK_TABLE**>(&block), nullptr); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"authorisation list: selector 1, 2048 bytes are 2", kNone, [&] { return RemoteGetAuthTasks(id_, reinterpret_cast<SENDTASK_TABLE**>(&block), &count); },
       25, KeyThen({1, 0, 0}), Reply(3, 2048), 1, kSentinel,
       {"Call RemoteGetAuthTasks ", "dwServerID = {id}", "Call RemoteGetAuthTasks return ", "lret = 1", "(*ppTaskInfo) = P", "(*pdwFaxNum) * sizeof(AUTHORIZEDINFO_TABLE) = 0x44", "[dump 68]"},
       [&] { EXPECT_EQ(count, 2u); take_block(); }},
      {"authorise: a fault is recorded", kNone, [&] { return RemoteAuthToFax(id_, 5, 1); }, 18, KeyThen({5, 1}), Action::Fault(5), 5, 5,
       {"Call RemoteAuthToFax ", "dwServerID = {id}", "dwFaxID = 5", "dwAuthFlag = 1", "Call RemoteAuthToFax return ", "lret = 5"}},
      {"task edit: one record is 1024 bytes", {0x10, 0, 0, 0}, [&] { return RemoteEditSendTask(id_, reinterpret_cast<const SENDTASK_TABLE*>(tasks.data()), 1); },
       24, Wire().Raw(KeyThen({1024}).data(), 28).Raw(tasks.data(), 1024).U32(1024).bytes(), {}, 1, kSentinel, {}},
      {"draft: no rights, refusal not recorded", kNone, [&] { return SendFaxFromDraft(id_, 9); }, 94, KeyThen({9}), Action::Status(kRefusal), refusal, kSentinel,
       {"Call SendFaxFromDraft ", "dwServerID = {id}", "dwDraftID = 9", "Call SendFaxFromDraft return ", "lret = -1040318398"}},
      {"connection record: null, not recorded, not traced", kNone, [&] { return SendFaxFromConn(id_, nullptr); }, -1, {}, {}, QZ_E_INVALIDARG, kSentinel, {}},
      // Operations no export reaches.
      {"receive tasks: flag not sent, 796-byte records", {0, 0, 0x40, 0}, [&] { return session_->ViewRecvTask(1, 66, &block, &count); },
       17, KeyThen({66, 0, 0}), Reply(3, 2 * 796 + 5), 1, kSentinel, {}, [&] { EXPECT_EQ(count, 2u); take_block(); }},
      {"ID list: 0x80 is not enough", {0, 0, 0x80, 0}, [&] { return session_->TaskIDListOP(const_cast<uint32_t*>(ids), 1); }, -1, {}, {}, QZ_E_ACCESSDENIED, QZ_E_ACCESSDENIED, {}},
      {"ID list: 0x100", {0, 0, 0x100, 0}, [&] { return session_->TaskIDListOP(const_cast<uint32_t*>(ids), 1); }, 20, IdList(ids, 4, {}), {}, 1, kSentinel, {}},
      {"cover-page fields: a refusal is returned and recorded", kNone, [&] { return session_->GetCoverPageField(nullptr, &block, &count); },
       41, Wire().Raw(KeyThen({1, 0, 1}).data(), 36).Raw({0}).PadTo(4).U32(0).U32(0).bytes(), Reply(3, 192, kRefusal), refusal, refusal, {}, [&] { take_block(); }},
      {"cover-page field operation: 2 records, refusal not recorded", kNone, [&] { return session_->CoverPageFieldOP(3, fields.data(), 2); },
       43, Wire().Raw(KeyThen({3, 192}).data(), 32).Raw(fields.data(), 192).U32(192).bytes(), Action::Status(kRefusal), refusal, kSentinel, {}},
      {"draft: no state check in the operation", kNone, [&] { SessionTestAccess::SetState(*session_, 0); uint32_t r = session_->SendFaxFromDraft(4); SessionTestAccess::SetState(*session_, 2); return r; },
       94, KeyThen({4}), {}, 1, kSentinel, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.rights);
    count = 0;  // callers pass a null block and a count of 0
    if (c.opnum >= 0) server_->Set(static_cast<uint16_t>(c.opnum), c.action);
    EXPECT_EQ(c.call(), c.result);
    if (c.opnum < 0) {
      EXPECT_TRUE(server_->Calls().empty());
    } else {
      Bytes sent = OnlyRequest(static_cast<uint16_t>(c.opnum));
      if (!c.request.empty()) EXPECT_TRUE(SameBytes(sent, c.request));
    }
    EXPECT_EQ(session_->ErrorCode(), c.slot);
    if (!c.trace.empty()) EXPECT_EQ(Trace(), c.trace);
    c.after();
    if (c.opnum >= 0) server_->Clear(static_cast<uint16_t>(c.opnum));
  }
  munmap(unreadable, 4096);
}

// The caller's connection record goes field by field into the wire layout
// (distinct values per field catch a field sent in another's place); the
// print record comes back into the caller's struct, without key or state.
TEST_F(SendTest, ConnectionRecords) {
  Fresh(kNone);
  const Bytes items(2 * 168, 0x61), data = {1, 2, 3, 4, 5};
  CONNSENDINFO c;
  std::memset(&c, 0, sizeof c);
  c.nValue1 = 1, c.nValue2 = 2, c.nValue3 = 3, c.nValue4 = 4, c.nValue5 = 5, c.nValue6 = 6;
  c.nValue7 = 7, c.nValue8 = 8, c.nValue9 = 9, c.dReal1 = 1.5, c.dReal2 = -2.25;
  std::memset(c.szText1, 'a', 255);  // the longest text: actual count 256
  std::strcpy(c.szText3, "abc");
  std::strcpy(c.szText4, "d");
  std::strcpy(c.szText6, "e");
  c.nItemCount = 2, c.pItems = items.data(), c.nDataLength = 5, c.pData = data.data();
  auto text = [](Wire& w, const std::string& t) { w.PadTo(4).U32(0).U32(uint32_t(t.size() + 1)).Chars(t); };
  Wire w;
  PutTestKey(w).U32(1).U32(2).U32(3);
  text(w, std::string(255, 'a'));
  w.PadTo(4).U32(2).U32(0x00020000);
  text(w, "");
  w.PadTo(4).U32(4).U32(5).U32(6).U32(7);
  text(w, "abc");
  w.PadTo(4).U32(8).PadTo(8).Raw(&c.dReal1, 8).Raw(&c.dReal2, 8);
  text(w, "d");
  text(w, "");
  text(w, "e");
  w.PadTo(4).U32(9).U32(5).U32(0x00020004).U32(336).Raw(items.data(), 336).U32(5).Raw(data.data(), 5);
  EXPECT_EQ(SendFaxFromConn(id_, &c), 1u);
  EXPECT_TRUE(SameBytes(OnlyRequest(93), w.bytes()));

  // No arrays: markers 0 and nothing deferred.
  server_->ClearCalls();
  c.nItemCount = 0, c.pItems = nullptr, c.pData = nullptr;
  EXPECT_EQ(SendFaxFromConn(id_, &c), 1u);
  Bytes sent = OnlyRequest(93);
  ASSERT_GE(sent.size(), 12u);
  EXPECT_EQ(Bytes(sent.end() - 12, sent.end()), Wire().U32(9).U32(5).U32(0).bytes());
  EXPECT_TRUE(Trace().empty());

  server_->ClearCalls();
  server_->OnCall(95, [](rpc::ServerArgs& a) {
    std::strcpy(a[1].tiff.text2, "out.tif");
    a[1].tiff.value2 = 42;
    return 7;
  });
  PRINTTOTIFFINFO p;
  std::memset(&p, 0, sizeof p);
  std::strcpy(p.szText1, "in");
  p.nValue1 = 3;
  SessionTestAccess::SetState(*session_, 0);
  EXPECT_EQ(session_->PrintToTiffFromConn(&p), 7u);  // returned, not recorded
  SessionTestAccess::SetState(*session_, 2);
  EXPECT_TRUE(SameBytes(OnlyRequest(95),
                        Wire().U32(0).U32(3).Chars("in").PadTo(4).U32(0).U32(1).Chars("").PadTo(4)
                            .U32(3).U32(0).bytes()));
  EXPECT_STREQ(p.szText2, "out.tif");
  EXPECT_EQ(p.nValue2, 42);
  EXPECT_EQ(session_->ErrorCode(), kSentinel);
}

struct ControlCase {
  const char* name;
  std::function<uint32_t()> call;
  int opnum;  // service-control procedure expected; -1: none
  Bytes request;
  Action action;
  uint32_t result;
  uint32_t thread_error;  // the thread's error record afterwards
  std::vector<std::string> trace;  // checked when not empty
};

TEST_F(SendTest, ServiceControl) {
  Bytes backup(300, 0x42), empty_text(300, 0x42), caps(440, 0);
  empty_text[30] = 0;
  const std::string long_user(25, 'u');
  const Bytes zero_key(24, 0);
  auto server_key = [](std::initializer_list<uint32_t> tail) { return KeyThen(tail); };
  auto start_request = [&](uint32_t mode) {
    return Wire().Raw(zero_key.data(), 24).U32(6).U32(0).U32(6).Chars("admin").PadTo(4)
        .U32(3).U32(0).U32(3).Chars("pw").PadTo(4).U32(mode).bytes();
  };
  auto stop = [&](uint32_t command) { return [&, command] { return ServerStop(id_, command); }; };
  const std::vector<std::string> stop_trace = {
      "Call ServerStop", "dwServerID = {id}", "dwCommand = 4", "Call GetServerInfo", "dwServerID = {id}",
      "Call GetServerInfo return", "dwServerID = {id}", "Call ServerStop return ", "lret = 0"};
  const uint32_t refusal = static_cast<uint32_t>(kRefusal);
  const ControlCase cases[] = {
      {"start, command 0: mode 1", [] { return ServerStart("127.0.0.1", "admin", "pw", 0); }, 0, start_request(1), {}, 0, kSentinel,
       {"Call ServerStart", "szSvrHostName = 127.0.0.1", "szUserID = admin", "szUserPwd = ********", "dwCommand = 0", "Call ServerStart return ", "lret = 0"}},
      {"start, command 1: mode 0", [] { return ServerStart("127.0.0.1", "admin", "pw", 1); }, 0, start_request(0), {}, 0, kSentinel, {}},
      {"start, command 2", [] { return ServerStart("127.0.0.1", "admin", "pw", 2); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG,
       {"Call ServerStart", "szSvrHostName = 127.0.0.1", "szUserID = admin", "szUserPwd = ********", "dwCommand = 2"}},
      {"start, empty host", [] { return ServerStart("", "admin", "pw", 0); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"stop 4: extended mode -1", stop(4), 2, server_key({0xFFFFFFFFu}), {}, 0, kSentinel, stop_trace},
      {"stop 6: extended mode 1", stop(6), 2, server_key({1}), {}, 0, kSentinel, {}},
      {"stop 2: mode 1", stop(2), 1, server_key({1}), {}, 0, kSentinel, {}},
      {"stop 3: mode 0; a failure of the call becomes the result", stop(3), 1, server_key({0}), Action::Fault(5), 5, kSentinel, {}},
      {"stop 1", stop(1), -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"stop 7", stop(7), -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"stop on a stale ID", [&] { return ServerStop(id_ + 1, 4); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {"Call ServerStop", "dwServerID = " + std::to_string(id_ + 1), "dwCommand = 4"}},
      {"backup type 0: the extended procedure, 300 bytes", [&] { return ServerBackup(id_, reinterpret_cast<const BACKUPINFO*>(backup.data()), 0); },
       5, Wire().Raw(server_key({300}).data(), 28).Raw(backup.data(), 300).U32(300).bytes(), {}, 0, kSentinel,
       {"Call ServerBackup", "dwServerID = {id}", "Call GetServerInfo", "dwServerID = {id}", "Call GetServerInfo return", "dwServerID = {id}", "Call ServerBackup return ", "lret = 0"}},
      {"backup type 7: a refusal is recorded", [&] { return ServerBackup(id_, reinterpret_cast<const BACKUPINFO*>(backup.data()), 7); },
       4, {}, Action::Status(kRefusal), refusal, refusal, {}},
      {"backup with an empty text at 30", [&] { return ServerBackup(id_, reinterpret_cast<const BACKUPINFO*>(empty_text.data()), 7); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"backup without record", [&] { return ServerBackup(id_, nullptr, 7); }, -1, {}, {}, QZ_E_INVALIDARG, QZ_E_INVALIDARG, {}},
      {"capabilities: no user, 440 bytes both ways, untraced", [&] { return GetServerCaps("127.0.0.1", nullptr, reinterpret_cast<SERVERCAPS*>(caps.data())); },
       3, Wire().Raw(zero_key.data(), 24).U32(440).Zeros(440).U32(440).bytes(),
       Action::Call([](rpc::ServerArgs& a) { a[2].bytes.assign(440, 0x5a); return 1; }), 0, kSentinel, {}},
      {"capabilities: a long user is cut to 19", [&] { return GetServerCaps("127.0.0.1", long_user.c_str(), reinterpret_cast<SERVERCAPS*>(caps.data())); },
       3, Wire().Raw(long_user.data(), 19).Zeros(5).U32(440).Raw(Bytes(440, 0x5a).data(), 440).U32(440).bytes(), {}, 0, kSentinel, {}},
  };
  // No protocol sequence: the binding fails (1714 in its HRESULT form); only
  // ServerBackup records it, and neither writes a return entry.
  auto no_binding = [&](const char* name, std::function<uint32_t()> call, uint32_t thread_error,
                        std::vector<std::string> trace) {
    SCOPED_TRACE(name);
    Fresh(kAll);
    rpc::SetProtseqsForTesting(std::vector<std::string>{});
    EXPECT_EQ(call(), HResultFromWin32(1714));
    rpc::SetProtseqsForTesting(std::nullopt);
    EXPECT_TRUE(server_->Calls().empty());
    EXPECT_EQ(ThreadError(), thread_error);
    EXPECT_EQ(Trace(), trace);
  };
  no_binding("stop", stop(2), kSentinel,
             {"Call ServerStop", "dwServerID = {id}", "dwCommand = 2", "Call GetServerInfo",
              "dwServerID = {id}", "Call GetServerInfo return", "dwServerID = {id}"});
  no_binding("backup", [&] { return ServerBackup(id_, reinterpret_cast<const BACKUPINFO*>(backup.data()), 1); },
             HResultFromWin32(1714),
             {"Call ServerBackup", "dwServerID = {id}", "Call GetServerInfo", "dwServerID = {id}",
              "Call GetServerInfo return", "dwServerID = {id}"});

  for (const ControlCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(kAll);
    if (c.opnum >= 0) server_->Set(static_cast<uint16_t>(c.opnum), c.action, Iface::kServiceControl);
    EXPECT_EQ(c.call(), c.result);
    if (c.opnum < 0) {
      EXPECT_TRUE(server_->Calls().empty());
    } else {
      Bytes sent = OnlyRequest(static_cast<uint16_t>(c.opnum), Iface::kServiceControl);
      if (!c.request.empty()) EXPECT_TRUE(SameBytes(sent, c.request));
    }
    EXPECT_EQ(ThreadError(), c.thread_error);
    if (!c.trace.empty()) EXPECT_EQ(Trace(), c.trace);
    if (c.opnum >= 0) server_->Clear(static_cast<uint16_t>(c.opnum), Iface::kServiceControl);
  }
  EXPECT_EQ(caps, Bytes(440, 0x5a));
}

}  // namespace
}  // namespace qz::stubs_test
