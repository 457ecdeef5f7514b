// store_test.cc -- the message store: item kinds to codes and rights
// columns, kinds 5 and 6, folder kind 8/9 and class 2/3, one rights bit
// present and the same bit missing, both folders of a move, selectors and
// ID arrays as sent; count conversions, stored and unstored server
// results, and the traces.
#include <utility>

#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);
constexpr uint32_t kAll = 0xFFFFFFFFu;

class StoreFamilyTest : public FamilyTest {};

// A folder record with a class (offset 4) and a kind (offset 68).
Bytes Folder(uint32_t folder_class, uint32_t kind) {
  Bytes f = Filler(QZ_SIZEOF_FOLDERINFO_TABLE, 0x30);
  std::memcpy(&f[4], &folder_class, 4);
  std::memcpy(&f[68], &kind, 4);
  return f;
}
template <typename T>
T** As(void** p) {
  return reinterpret_cast<T**>(p);
}
const FOLDERINFO_TABLE* F(const Bytes& b) {
  return reinterpret_cast<const FOLDERINFO_TABLE*>(b.data());
}
Wire& Put(Wire& w, const Bytes& f) { return w.U32(104).Raw(f.data(), 104).I32(104); }

Bytes item = Filler(10, 9);  // creation writes the server's version back into it
// A change: the item code (or kind-5 mode), the folder, the 10-byte item.
std::function<void(Wire&)> Change(int32_t code, const Bytes& f) {
  return [=, &f](Wire& w) { Put(w.I32(code), f).U32(10).Raw(item.data(), 10).PadTo(4).I32(10); };
}
// New, edit or delete of a 10-byte item.
CaseCall Info(char op, const Bytes& f, uint32_t type) {
  return [op, &f, type](uint32_t id) {
    if (op == 'n') return RemoteNewInformation(id, F(f), type, item.data(), 10);
    if (op == 'e') return RemoteEditInformation(id, F(f), type, item.data(), 10);
    return RemoteDeleteInformation(id, F(f), type, item.data(), 10);
  };
}

TEST_F(StoreFamilyTest, ChecksRequestsAndRecording) {
  static const Bytes c0 = Folder(0, 1), c0k8 = Folder(0, 8), c0k9 = Folder(0, 9),
                     c0k0 = Folder(0, 0), c1 = Folder(1, 3), c2 = Folder(2, 2), c3 = Folder(3, 2);
  void* out = nullptr;
  uint32_t n = 0;
  auto list = [&](const Bytes& f, uint32_t type, const char* where, uint32_t* pn) {
    return [&, type, where, pn](uint32_t id) {
      const uint32_t r = RemoteGetInformationEx(id, F(f), type, where, &out, pn);
      platform::HeapFree(std::exchange(out, nullptr));
      return r;
    };
  };
  auto move = [](uint32_t id) {
    return RemoteMoveInformation(id, F(c0), F(c1), 3, item.data(), 10);
  };
  const Rights all = {kAll, kAll, kAll, kAll}, none = {};
  const uint32_t denied = QZ_E_ACCESSDENIED;
  RunCases({
      Sent("kind 0: code 7, column 2 (0x4)", {0x4}, Info('n', c0, 0), 26, Change(7, c0)),
      Sent("kind 7: code 8, column 3 (0x20)", {0x20}, Info('n', c0, 7), 26, Change(8, c0)),
      Refused("kind 8", all, Info('n', c0, 8), QZ_E_INVALIDARG),
      Sent("class 1 kind 3, 0x20 of dwRights[1]", {0, 0x20}, Info('n', c1, 3), 26, Change(1, c1)),
      Refused("class 1 kind 3, all but 0x20", {kAll, ~0x20u, kAll, kAll}, Info('n', c1, 3), denied),
      Sent("kind 6 creation: column 5 (0x1000)", {0, 0x1000}, Info('n', c1, 6), 26, Change(5, c1)),
      Refused("kind 6 creation, all but 0x1000", {kAll, ~0x1000u, kAll, kAll}, Info('n', c1, 6),
              denied),
      Sent("kind 6 deletion tests no rights", none, Info('d', c1, 6), 28, Change(5, c1)),
      Sent("kind 5 creation: 42, mode 1", {0, 0x200}, Info('n', c1, 5), 42, Change(1, c1)),
      Sent("kind 5 deletion: 42, mode 3", {0, 0x200}, Info('d', c1, 5), 42, Change(3, c1)),
      Refused("kind 5 editing, right present", {0, 0x200}, Info('e', c1, 5), QZ_E_INVALIDARG),
      Refused("kind 5 editing, right missing", {kAll, ~0x200u, kAll, kAll}, Info('e', c1, 5),
              denied),
      Sent("kind 2 editing: 27, code 2", {0x100}, Info('e', c0, 2), 27, Change(2, c0)),
      Sent("folder kind 8", {0x100}, Info('n', c0k8, 2), 26, Change(2, c0k8)),
      Refused("folder kind 9", all, Info('n', c0k9, 2), QZ_E_FOLDERKIND),
      Refused("folder kind 0", all, Info('d', c0k0, 2), QZ_E_FOLDERKIND),
      Sent("class 2 (0x800)", {0, 0, 0x800}, Info('n', c2, 2), 26, Change(2, c2)),
      Refused("class 3", all, Info('n', c3, 2), QZ_E_FOLDERCLASS),
      Refused("move: target refused", {0x100, ~0x20u}, move, denied),
      Sent("move: both allowed", {0x100, 0x20}, move, 29, [](Wire& w) {
        Change(1, c0)(w);
        Put(w, c1);
      }),
      Sent("list kind 5: no code, no condition", none, list(c0, 5, "x", &n), 40,
           [](Wire& w) { NoReply(Put(w, c0)); }),
      Sent("list kind 4: code 3", none, list(c0, 4, nullptr, &n), 30,
           [](Wire& w) { Text(NoReply(Put(w.I32(3), c0)), ""); }),
      Refused("list from folder kind 9", all, list(c0k9, 1, "", &n), QZ_E_FOLDERKIND),
      Refused("list, null size", none, list(c0, 1, "", nullptr), QZ_E_INVALIDARG, false),
      Refused("folders 0", none, [&](uint32_t id) { return RemoteGetFolders(id, 0, nullptr, &n); },
              QZ_E_INVALIDARG),
      Refused("folders 9", none, [&](uint32_t id) { return RemoteGetFolders(id, 9, nullptr, &n); },
              QZ_E_INVALIDARG),
      Sent("fax view flag before fax ID", none,
           [](uint32_t id) { return RemoteSetFaxViewFlag(id, 0x11223344, 2); }, 77,
           [](Wire& w) { w.I32(2).I32(0x11223344); }),
      Sent("address book 1 names the user", none,
           [&](uint32_t id) { return RemoteGetAddressBookEx(id, 1, &out, &n); }, 75,
           [](Wire& w) { NoReply(Text(w, "tester")); }),
      Refused("address book 2", none,
              [&](uint32_t id) { return RemoteGetAddressBookEx(id, 2, &out, &n); },
              QZ_E_INVALIDARG),
      Sent("relation type 1 selects (0, 42)", none,
           [&](uint32_t id) {
             return RemoteGetAddressRelation(id, 42, 1, As<ADDRRELATION_TABLE>(&out), &n);
           },
           30, [](Wire& w) { Text(NoReply(w.I32(3).U32(8).U32(0).U32(42).I32(8)), ""); }),
      Refused("relation type 2", none,
              [&](uint32_t id) {
                return RemoteGetAddressRelation(id, 42, 2, As<ADDRRELATION_TABLE>(&out), &n);
              },
              QZ_E_INVALIDARG, false),
      Sent("new messages: 2 IDs as 8 elements", none,
           [&](uint32_t id) {
             static const uint32_t ids[2] = {5, 6};
             return RemoteGetNewReceivedMessages(id, F(c0k9), ids, 2, As<RECVTASK_TABLE>(&out),
                                                 &n);
           },
           84, [](Wire& w) { NoReply(Put(w, c0k9).U32(8).U32(5).U32(6).Zeros(24).I32(8)); }),
  });
  platform::HeapFree(out);
}

// Byte counts become records only on success; the information operations
// store a server refusal, the others do not.
TEST_F(StoreFamilyTest, CountsAndServerResults) {
  const Bytes folder = Folder(0, 1);
  const uint32_t ids[1] = {9};
  void* out = nullptr;
  uint32_t count = 0;
  for (int32_t status : {1, kRefusal}) {
    AnswerBytes(76, 3, 520, status);
    EXPECT_EQ(RemoteGetFolders(id_, 1, As<FOLDERINFO_TABLE>(&out), &count), uint32_t(status));
    EXPECT_EQ(count, status == 1 ? 5u : 520u);  // a refusal leaves the byte count
    platform::HeapFree(std::exchange(out, nullptr));
    AnswerBytes(84, 6, 2 * 796, status);
    EXPECT_EQ(RemoteGetNewReceivedMessages(id_, F(folder), ids, 1, As<RECVTASK_TABLE>(&out),
                                           &count),
              uint32_t(status));
    EXPECT_EQ(count, status == 1 ? 2u : 0u);  // a refusal leaves the export's 0
    platform::HeapFree(std::exchange(out, nullptr));
  }
  AnswerBytes(30, 5, 24);
  EXPECT_EQ(RemoteGetAddressRelation(id_, 1, 0, As<ADDRRELATION_TABLE>(&out), &count), 1u);
  EXPECT_EQ(count, 3u);
  platform::HeapFree(out);
  EXPECT_EQ(SlotCode(), kSlotMarker);
  Login({0x100});
  server_->Return(28, kRefusal);
  EXPECT_EQ(RemoteDeleteInformation(id_, F(folder), 2, item.data(), 4), uint32_t(kRefusal));
  EXPECT_EQ(SlotCode(), uint32_t(kRefusal));
}

// Labels end in a blank; RemoteGetInformationEx writes those of
// RemoteGetInformation and no server ID; after a bad server ID only the
// folder, fax view and address book exports write their return entry.
TEST_F(StoreFamilyTest, TraceLabels) {
  const Bytes folder = Folder(0, 1);
  void* out = nullptr;
  uint32_t n = 0;
  ClearTrace();
  EXPECT_EQ(RemoteGetInformationEx(id_, F(folder), 1, "w", &out, &n), 1u);
  EXPECT_EQ(RemoteGetFolders(id_ + 1, 1, nullptr, &n), QZ_E_BADSERVERID);
  EXPECT_EQ(RemoteGetInformation(id_ + 1, F(folder), 1, &out, &n), QZ_E_BADSERVERID);
  EXPECT_EQ(TraceLabels(), (std::vector<std::string>{
                               "Call RemoteGetInformation ", "Call RemoteGetInformation return ",
                               "Call RemoteGetFolders ", "Call RemoteGetFolders return ",
                               "Call RemoteGetInformation "}));
  const std::string log = TraceLog();
  EXPECT_NE(log.find("Call RemoteGetInformation \n\t&fhParent = 0x"), std::string::npos);
  EXPECT_NE(log.find("\tdwInfoType = 1\n\tpWhere = w\n"), std::string::npos);
  EXPECT_NE(log.find("\tlret = -1040240638\n"), std::string::npos);
}

}  // namespace
}  // namespace qz::stubs_test
