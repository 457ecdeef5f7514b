// store_test.cc -- the message store exports against the scripted server:
// one table of edge cases (item kinds to codes and rights columns, kinds 5
// and 6, folder kind and class bounds, one rights bit present and the same
// bit missing, both folders of a move, the selectors and ID arrays sent),
// each checked for the status, the exact request or the absence of one,
// and the error slot; then the record-count conversions and the traces.
#include <functional>

#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);
constexpr uint32_t kAll = 0xFFFFFFFFu;

class StoreFamilyTest : public FamilyTest {};

struct Case {
  const char* name;
  std::array<uint32_t, 4> rights;
  std::function<uint32_t(uint32_t id)> call;
  uint32_t status;
  int opnum;                        // kNoCall: nothing may reach the server
  std::function<void(Wire&)> body;  // the request after the key
  uint32_t slot;                    // the error slot afterwards
};

const FOLDERINFO_TABLE* F(const Bytes& b) {
  return reinterpret_cast<const FOLDERINFO_TABLE*>(b.data());
}

TEST_F(StoreFamilyTest, ChecksRequestsAndRecording) {
  static const Bytes c0k1 = FolderRecord(0, 1), c0k8 = FolderRecord(0, 8),
                     c0k9 = FolderRecord(0, 9), c0k0 = FolderRecord(0, 0),
                     c1k3 = FolderRecord(1, 3), c2k2 = FolderRecord(2, 2),
                     c3k2 = FolderRecord(3, 2);
  static Bytes item = Filler(10, 9);  // creation writes the server's version back
  void* out = nullptr;
  uint32_t n = 0;
  auto folder = [](Wire& w, const Bytes& f) { w.U32(104).Raw(f.data(), 104).I32(104); };
  auto info = [](Wire& w) { w.U32(10).Raw(item.data(), 10).PadTo(4).I32(10); };
  auto text = [](Wire& w, const std::string& s) {
    w.U32(static_cast<uint32_t>(s.size() + 1)).U32(0).U32(static_cast<uint32_t>(s.size() + 1));
    w.Chars(s);
  };
  auto no_reply = [](Wire& w) { w.PadTo(4).U32(0).I32(0); };
  // A changing request: code, folder, the item.
  auto change = [&](int32_t code, const Bytes& f) {
    return [=, &folder, &info](Wire& w) {
      w.I32(code);
      folder(w, f);
      info(w);
    };
  };
  auto create = [&](const Bytes& f, uint32_t type) {
    return [&f, type](uint32_t id) { return RemoteNewInformation(id, F(f), type, item.data(), 10); };
  };
  const Case cases[] = {
      // Kinds, codes and columns.
      {"kind 0 creates with code 7 (class 0, column 2: 0x4)", {0x4, 0, 0, 0}, create(c0k1, 0), 1,
       26, change(7, c0k1), kSlotMarker},
      {"kind 0 without 0x4 (0x3 set)", {0x3, 0, 0, 0}, create(c0k1, 0), QZ_E_ACCESSDENIED,
       kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"kind 7 creates with code 8 (class 0, column 3: 0x20)", {0x20, 0, 0, 0}, create(c0k1, 7),
       1, 26, change(8, c0k1), kSlotMarker},
      {"kind 8 is refused", {kAll, kAll, kAll, kAll}, create(c0k1, 8), QZ_E_INVALIDARG, kNoCall,
       nullptr, QZ_E_INVALIDARG},
      {"class 1, kind 3 with 0x20 of dwRights[1]", {0, 0x20, 0, 0}, create(c1k3, 3), 1, 26,
       change(1, c1k3), kSlotMarker},
      {"class 1, kind 3 with every bit but 0x20", {kAll, ~0x20u, kAll, kAll}, create(c1k3, 3),
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"kind 6 creation tests column 5 (0x1000 of dwRights[1])", {0, 0x1000, 0, 0},
       create(c1k3, 6), 1, 26, change(5, c1k3), kSlotMarker},
      {"kind 6 creation without 0x1000", {kAll, ~0x1000u, kAll, kAll}, create(c1k3, 6),
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"kind 6 deletion tests no rights", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteDeleteInformation(id, F(c1k3), 6, item.data(), 10); }, 1,
       28, change(5, c1k3), kSlotMarker},
      {"kind 5 creation: procedure 42, mode 1 (column 1: 0x200)", {0, 0x200, 0, 0},
       create(c1k3, 5), 1, 42, change(1, c1k3), kSlotMarker},
      {"kind 5 deletion: procedure 42, mode 3", {0, 0x200, 0, 0},
       [&](uint32_t id) { return RemoteDeleteInformation(id, F(c1k3), 5, item.data(), 10); }, 1,
       42, change(3, c1k3), kSlotMarker},
      {"kind 5 editing is refused after the rights test", {0, 0x200, 0, 0},
       [&](uint32_t id) { return RemoteEditInformation(id, F(c1k3), 5, item.data(), 10); },
       QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"kind 5 editing without the right", {kAll, ~0x200u, kAll, kAll},
       [&](uint32_t id) { return RemoteEditInformation(id, F(c1k3), 5, item.data(), 10); },
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"kind 2 editing: procedure 27, code 2", {0x100, 0, 0, 0},
       [&](uint32_t id) { return RemoteEditInformation(id, F(c0k1), 2, item.data(), 10); }, 1,
       27, change(2, c0k1), kSlotMarker},
      {"empty item", {kAll, kAll, kAll, kAll},
       [&](uint32_t id) { return RemoteEditInformation(id, F(c0k1), 2, item.data(), 0); },
       QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      // Folder kind 1..8 and class 0..2.
      {"folder kind 8", {0x100, 0, 0, 0}, create(c0k8, 2), 1, 26, change(2, c0k8), kSlotMarker},
      {"folder kind 9", {kAll, kAll, kAll, kAll}, create(c0k9, 2), QZ_E_FOLDERKIND, kNoCall,
       nullptr, QZ_E_FOLDERKIND},
      {"folder kind 0", {kAll, kAll, kAll, kAll}, create(c0k0, 2), QZ_E_FOLDERKIND, kNoCall,
       nullptr, QZ_E_FOLDERKIND},
      {"folder class 2 (0x800 of dwRights[2])", {0, 0, 0x800, 0}, create(c2k2, 2), 1, 26,
       change(2, c2k2), kSlotMarker},
      {"folder class 3", {kAll, kAll, kAll, kAll}, create(c3k2, 2), QZ_E_FOLDERCLASS, kNoCall,
       nullptr, QZ_E_FOLDERCLASS},
      // Moves test both folders.
      {"move allowed at the source only", {0x100, ~0x20u, 0, 0},
       [&](uint32_t id) {
         return RemoteMoveInformation(id, F(c0k1), F(c1k3), 3, item.data(), 10);
       },
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"move allowed at both", {0x100, 0x20, 0, 0},
       [&](uint32_t id) {
         return RemoteMoveInformation(id, F(c0k1), F(c1k3), 3, item.data(), 10);
       },
       1, 29,
       [&](Wire& w) {
         w.I32(1);
         folder(w, c0k1);
         info(w);
         folder(w, c1k3);
       },
       kSlotMarker},
      // Listing: no rights row; kind 5 by procedure 40; kind 4 is code 3.
      {"list kind 5: no code, no condition", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetInformation(id, F(c0k1), 5, &out, &n); }, 1, 40,
       [&](Wire& w) {
         folder(w, c0k1);
         no_reply(w);
       },
       kSlotMarker},
      {"list kind 4 sends code 3 and the empty condition", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetInformation(id, F(c0k1), 4, &out, &n); }, 1, 30,
       [&](Wire& w) {
         w.I32(3);
         folder(w, c0k1);
         no_reply(w);
         text(w, "");
       },
       kSlotMarker},
      {"list with a condition", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetInformationEx(id, F(c0k1), 1, "a=1", &out, &n); }, 1,
       30,
       [&](Wire& w) {
         w.I32(6);
         folder(w, c0k1);
         no_reply(w);
         text(w, "a=1");
       },
       kSlotMarker},
      {"list from a folder of kind 9", {kAll, kAll, kAll, kAll},
       [&](uint32_t id) { return RemoteGetInformation(id, F(c0k9), 1, &out, &n); },
       QZ_E_FOLDERKIND, kNoCall, nullptr, QZ_E_FOLDERKIND},
      {"list with a null size: not stored, no trace", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetInformationEx(id, F(c0k1), 1, "", &out, nullptr); },
       QZ_E_INVALIDARG, kNoCall, nullptr, kSlotMarker},
      // The other operations.
      {"folders of kind 0", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetFolders(id, 0, reinterpret_cast<FOLDERINFO_TABLE**>(&out), &n);
       },
       QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"folders of kind 9", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetFolders(id, 9, reinterpret_cast<FOLDERINFO_TABLE**>(&out), &n);
       },
       QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"folders of kind 8", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetFolders(id, 8, reinterpret_cast<FOLDERINFO_TABLE**>(&out), &n);
       },
       1, 76,
       [&](Wire& w) {
         w.I32(8);
         no_reply(w);
       },
       kSlotMarker},
      {"fax view with a null condition", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetFaxViewRecord(id, nullptr, reinterpret_cast<FAXVIEW_TABLE**>(&out), &n);
       },
       1, 70,
       [&](Wire& w) {
         text(w, "");
         no_reply(w);
       },
       kSlotMarker},
      {"fax view flag goes before the fax ID", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteSetFaxViewFlag(id, 0x11223344, 2); }, 1, 77,
       [&](Wire& w) { w.I32(2).I32(0x11223344); }, kSlotMarker},
      {"address book 0 names the user", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetAddressBookEx(id, 0, &out, &n); }, 1, 74,
       [&](Wire& w) {
         text(w, "tester");
         no_reply(w);
       },
       kSlotMarker},
      {"address book 1", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetAddressBookEx(id, 1, &out, &n); }, 1, 75,
       [&](Wire& w) {
         text(w, "tester");
         no_reply(w);
       },
       kSlotMarker},
      {"address book 2", {0, 0, 0, 0},
       [&](uint32_t id) { return RemoteGetAddressBookEx(id, 2, &out, &n); }, QZ_E_INVALIDARG,
       kNoCall, nullptr, QZ_E_INVALIDARG},
      {"relation of type 1 selects (0, 42)", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetAddressRelation(id, 42, 1, reinterpret_cast<ADDRRELATION_TABLE**>(&out),
                                         &n);
       },
       1, 30,
       [&](Wire& w) {
         w.I32(3).U32(8).U32(0).U32(42).I32(8);
         no_reply(w);
         text(w, "");
       },
       kSlotMarker},
      {"relation of type 2: refused, not stored", {0, 0, 0, 0},
       [&](uint32_t id) {
         return RemoteGetAddressRelation(id, 42, 2, reinterpret_cast<ADDRRELATION_TABLE**>(&out),
                                         &n);
       },
       QZ_E_INVALIDARG, kNoCall, nullptr, kSlotMarker},
      {"new messages: two IDs as 8 counted elements", {0, 0, 0, 0},
       [&](uint32_t id) {
         static const uint32_t ids[2] = {5, 6};
         return RemoteGetNewReceivedMessages(id, F(c0k9), ids, 2,
                                             reinterpret_cast<RECVTASK_TABLE**>(&out), &n);
       },
       1, 84,
       [&](Wire& w) {
         folder(w, c0k9);
         w.U32(8).U32(5).U32(6).Zeros(24).I32(8);
         no_reply(w);
       },
       kSlotMarker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Login(c.rights);
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
    if (out != nullptr) platform::HeapFree(out);
    out = nullptr;
  }
}

// Byte counts become records on success only; the information operations
// store a server refusal, the others do not.
TEST_F(StoreFamilyTest, CountsAndServerResults) {
  const Bytes folder = FolderRecord(0, 1);
  FOLDERINFO_TABLE* folders = nullptr;
  uint32_t count = 0;
  AnswerBytes(76, 3, 520);
  EXPECT_EQ(RemoteGetFolders(id_, 1, &folders, &count), 1u);
  EXPECT_EQ(count, 5u);
  platform::HeapFree(folders);
  folders = nullptr;
  AnswerBytes(76, 3, 520, kRefusal);
  EXPECT_EQ(RemoteGetFolders(id_, 1, &folders, &count), static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(count, 520u);  // left as the byte count
  EXPECT_EQ(SlotCode(), kSlotMarker);
  platform::HeapFree(folders);

  FAXVIEW_TABLE* views = nullptr;
  AnswerBytes(70, 3, 2 * 84 + 83);
  EXPECT_EQ(RemoteGetFaxViewRecord(id_, "", &views, &count), 1u);
  EXPECT_EQ(count, 2u);
  platform::HeapFree(views);

  ADDRRELATION_TABLE* rel = nullptr;
  AnswerBytes(30, 5, 24);
  EXPECT_EQ(RemoteGetAddressRelation(id_, 1, 0, &rel, &count), 1u);
  EXPECT_EQ(count, 3u);
  platform::HeapFree(rel);
  rel = nullptr;

  RECVTASK_TABLE* msgs = nullptr;
  const uint32_t ids[1] = {9};
  AnswerBytes(84, 6, 2 * 796, kRefusal);
  count = 99;
  EXPECT_EQ(RemoteGetNewReceivedMessages(id_, F(folder), ids, 1, &msgs, &count),
            static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(count, 0u);  // cleared by the export, not converted
  platform::HeapFree(msgs);
  msgs = nullptr;
  AnswerBytes(84, 6, 2 * 796);
  EXPECT_EQ(RemoteGetNewReceivedMessages(id_, F(folder), ids, 1, &msgs, &count), 1u);
  EXPECT_EQ(count, 2u);
  platform::HeapFree(msgs);
  EXPECT_EQ(SlotCode(), kSlotMarker);

  Login({0x100, 0, 0, 0});
  server_->Return(28, kRefusal);
  const Bytes item = Filler(4, 1);
  EXPECT_EQ(RemoteDeleteInformation(id_, F(folder), 2, item.data(), 4),
            static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(SlotCode(), static_cast<uint32_t>(kRefusal));
}

// Labels end in a blank; RemoteGetInformationEx writes those of
// RemoteGetInformation; after a bad server ID only the folder, fax view
// and address book exports write their return entry.
TEST_F(StoreFamilyTest, TraceLabels) {
  const Bytes folder = FolderRecord(0, 1);
  void* out = nullptr;
  uint32_t n = 0;
  ClearTrace();
  EXPECT_EQ(RemoteGetInformationEx(id_, F(folder), 1, "w", &out, &n), 1u);
  EXPECT_EQ(RemoteGetFolders(id_ + 1, 1, reinterpret_cast<FOLDERINFO_TABLE**>(&out), &n),
            QZ_E_BADSERVERID);
  EXPECT_EQ(RemoteGetInformation(id_ + 1, F(folder), 1, &out, &n), QZ_E_BADSERVERID);
  EXPECT_EQ(RemoteSetFaxViewFlag(id_ + 1, 1, 2), QZ_E_BADSERVERID);
  EXPECT_EQ(TraceLabels(),
            (std::vector<std::string>{
                "Call RemoteGetInformation ", "Call RemoteGetInformation return ",
                "Call RemoteGetFolders ", "Call RemoteGetFolders return ",
                "Call RemoteGetInformation ", "Call RemoteSetFaxViewFlag ",
                "Call RemoteSetFaxViewFlag return "}));
  const std::string log = TraceLog();
  EXPECT_NE(log.find("\tpWhere = w\n"), std::string::npos);
  EXPECT_NE(log.find("\tlret = -1040240638\n"), std::string::npos);
  // The information exports do not trace the server ID.
  EXPECT_EQ(log.find("Call RemoteGetInformation \n\tdwServerID"), std::string::npos);
  EXPECT_NE(log.find("Call RemoteGetInformation \n\t&fhParent = 0x"), std::string::npos);
}

}  // namespace
}  // namespace qz::stubs_test
