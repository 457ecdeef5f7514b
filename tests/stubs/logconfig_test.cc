// logconfig_test.cc -- the system log and the configuration through their
// exports: QZ_E_BADPARAM without touching the error slot, the section sizes
// and their negotiation from both sides, section 6, the named values, server
// failures kept in the error slot (not those of named values), the traces.
#include "rpc/records.h"
#include "tests/stubs/admin_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint16_t kQuerySysLog = 5, kGetSystemConfig = 62, kGetSystemConfigEx = 63,
                   kSetConfigValue = 67, kSetSystemConfig = 68;

class LogConfigTest : public AdminTest {};

// clang-format off
TEST_F(LogConfigTest, Table) {
  Bytes buffer;  // the caller's configuration buffer
  uint32_t size = 0, count = 0, value_size = 240;
  void* list = nullptr;
  Bytes pair(240, 0);  // "first" at 0, "second" at 120
  std::memcpy(pair.data(), "first", 5);
  std::memcpy(pair.data() + 120, "second", 6);
  const Bytes number = {0x44, 0x33, 0x22, 0x11}, section6 = Data(4012);
  auto get = [&](uint32_t section, uint32_t n) {
    return [&, section, n] { buffer = Data(n); size = n; return RemoteGetSystemConfig(id_, section, buffer.data(), &size); };
  };
  auto size_is = [&](uint32_t n) { return [&, n] { EXPECT_EQ(size, n); }; };
  auto answers_config = [](uint16_t op, size_t pos) {  // the server fills the buffer with 0x40, 0x41, ...
    return [=] { server_->OnCall(op, [pos](rpc::ServerArgs& a) { a[pos].bytes = Data(a[pos].bytes.size(), 0x40); return 1; }); };
  };
  auto filled = [&] { EXPECT_TRUE(SameBytes(buffer, Data(buffer.size(), 0x40))); };
  auto access = [&](uint32_t type, uint32_t field, const Bytes& value) {
    return [&, type, field, p = (void*)value.data()] { return RemoteAccessConfig(id_, type, "name", field, p, &value_size); };
  };
  const Bytes name_and_number = Req([](Wire& w) { Text(w, "name").PadTo(4).U32(0x11223344); });
  // Section 6 written: sections 0 to 5 laid end to end; the server refuses section 3.
  std::vector<Bytes> six;
  for (uint32_t s = 0, at = 0; s <= 3; at += rpc::records::kSystemConfigSectionSizes[s++]) {
    const Bytes part(section6.begin() + at, section6.begin() + at + rpc::records::kSystemConfigSectionSizes[s]);
    six.push_back(Req([&](Wire& w) { Block(w.U32(s), part).U32(static_cast<uint32_t>(part.size())); }));
  }
  const std::string get_entry = "@Call RemoteGetSystemConfig";

  Run({
      {"section 0, one byte short: the size needed comes back, the slot untouched", nullptr, get(0, 1559),
       QZ_E_BUFFERTOOSMALL, {}, kUntouched,
       Skeleton({get_entry, "dwServerID=ID", "dwGetFlag=0", get_entry + " return", Lret(QZ_E_BUFFERTOOSMALL),
                 "pvBuff=P", "dwSize=0x618", "#1559"}), size_is(1560)},
      {"section 0, exactly its size, with bit 0x40 alone: the buffer goes both ways",
       [&] { LogIn(kAll, 0x40); answers_config(kGetSystemConfig, 3)(); }, get(0, 1560), 1,
       {Req([&](Wire& w) { Block(w.U32(0), Data(1560)).U32(1560); })}, kUntouched, "", filled},
      {"without bit 0x40: refused and recorded before the size is looked at", Rights3(~0x40u), get(0, 10),
       QZ_E_ACCESSDENIED, {}, QZ_E_ACCESSDENIED, "", size_is(10)},
      {"section 3 is 110 bytes: 109 is short", nullptr, get(3, 109), QZ_E_BUFFERTOOSMALL, {}, kUntouched, "",
       size_is(110)},
      {"section 6, one byte short", nullptr, get(6, 4011), QZ_E_BUFFERTOOSMALL, {}, kUntouched, "",
       size_is(4012)},
      {"section 6 with 5000 bytes: the caller's size travels both ways", answers_config(kGetSystemConfigEx, 2),
       get(6, 5000), 1, {Req([&](Wire& w) { Block(w, Data(5000)).U32(5000); })}, kUntouched, "", filled},
      {"section 7: a bad parameter, the slot untouched", nullptr, get(7, 5000), QZ_E_BADPARAM, {},
       kUntouched, ""},
      {"a refusal of the server is kept in the error slot", [&] { server_->Return(kGetSystemConfig, kRefused); },
       get(1, 24), kRefused, {Req([&](Wire& w) { Block(w.U32(1), Data(24)).U32(24); })}, kRefused, ""},
      {"section 2 sends its 1044 bytes whatever dwSize says", nullptr,
       [&] { return RemoteSetSystemConfig(id_, 2, (void*)section6.data(), 1); }, 1,
       {Req([&](Wire& w) { Block(w.U32(2), Bytes(section6.begin(), section6.begin() + 1044)).U32(1044); })},
       kUntouched,
       Skeleton({"@Call RemoteSetSystemConfig", "dwServerID=ID", "dwSetFlag=2", "pvBuff=P", "dwSize=0x1",
                 "#1", "@Call RemoteSetSystemConfig return", Lret(1)})},
      {"section 6 writes sections 0 to 5 end to end and stops at the first refusal",
       [&] { server_->OnCall(kSetSystemConfig, [](rpc::ServerArgs& a) { return a[2].number == 3 ? static_cast<int32_t>(kRefused) : 1; }); },
       [&] { return RemoteSetSystemConfig(id_, 6, (void*)section6.data(), 4012); }, kRefused, six, kRefused, ""},
      {"section 7 is not written", nullptr, [&] { return RemoteSetSystemConfig(id_, 7, (void*)section6.data(), 4012); },
       QZ_E_BADPARAM, {}, kUntouched, ""},
      {"writing needs bit 0x20", Rights3(~0x20u),
       [&] { return RemoteSetSystemConfig(id_, 1, (void*)section6.data(), 24); }, QZ_E_ACCESSDENIED, {},
       QZ_E_ACCESSDENIED, ""},
      {"a string pair: the texts at 0 and 120, not the name", nullptr, access(1, 2, pair), 1,
       {Req([](Wire& w) { Text(Text(w, "first"), "second"); })}, kUntouched,
       Skeleton({"@Call RemoteAccessConfig", "dwServerID=ID", "dwType=1", "pName=name", "dwFieldType=2",
                 "pValue=P", "(*pdwBufSize)=0xf0", "#240", "@Call RemoteAccessConfig return", Lret(1)})},
      {"a 32-bit value", nullptr, access(1, 1, number), 1, {name_and_number}, kUntouched, ""},
      {"a refusal of a named value is returned, not kept", [&] { server_->Return(kSetConfigValue, kRefused); },
       access(1, 1, number), kRefused, {name_and_number}, kUntouched, ""},
      {"reading a named value is not offered", nullptr, access(0, 0, pair), E_NOTIMPL, {}, kUntouched, ""},
      {"dwType 2 is out of range", nullptr, access(2, 0, pair), QZ_E_BADPARAM, {}, kUntouched, ""},
      {"field type 3 passes the range check but sends nothing", nullptr, access(1, 3, pair), E_NOTIMPL, {},
       kUntouched, ""},
      {"the system log with bit 0x400 alone: 980 bytes are 2 entries",
       [&] { LogIn(kAll, 0x400); Answer(kQuerySysLog, 3, Data(980))(); },
       [&] { return RemoteQuerySysLog(id_, "x", (SYSLOG_TABLE**)&list, &count); }, 1,
       {Req([](Wire& w) { NullReply(Text(w, "x")); })}, kUntouched,
       Skeleton({"@Call RemoteQuerySysLog", "dwServerID=ID", "pszCondition=x", "@Call RemoteQuerySysLog return",
                 Lret(1)}), [&] { EXPECT_EQ(count, 2u); Free(list); }},
      {"the system log refused: kept in the slot", [&] { server_->Return(kQuerySysLog, kRefused); },
       [&] { return RemoteQuerySysLog(id_, nullptr, (SYSLOG_TABLE**)&list, &count); }, kRefused,
       {Req([](Wire& w) { NullReply(Text(w, "")); })}, kRefused, "", [&] { EXPECT_EQ(count, 0u); }},
      {"a null count pointer: a bad parameter, the slot untouched", nullptr,
       [&] { return RemoteQuerySysLog(id_, "", (SYSLOG_TABLE**)&list, nullptr); }, QZ_E_BADPARAM, {},
       kUntouched, ""},
      {"querying needs 0x400; 0x800 is not enough", Rights3(0x800),
       [&] { return RemoteQuerySysLog(id_, "", (SYSLOG_TABLE**)&list, &count); }, QZ_E_ACCESSDENIED, {},
       QZ_E_ACCESSDENIED, ""},
      {"deleting needs 0x800; 0x400 is not enough", Rights3(0x400), [&] { return RemoteDelSysLog(id_, ""); },
       QZ_E_ACCESSDENIED, {}, QZ_E_ACCESSDENIED, ""},
      {"deleting with 0x800 alone", Rights3(0x800), [&] { return RemoteDelSysLog(id_, "old"); }, 1,
       {Req([](Wire& w) { Text(w, "old"); })}, kUntouched, ""},
      {"the backup is not offered; its outputs are cleared", nullptr,
       [&] { list = &count; count = 7; return RemoteBackupSysLog(id_, "", (SYSLOG_TABLE**)&list, &count); },
       E_NOTIMPL, {}, kUntouched,
       Skeleton({"@Call RemoteBackupSysLog", "dwServerID=ID", "pszCondition=", "@Call RemoteBackupSysLog return",
                 Lret(E_NOTIMPL), "(*ppSysLog)=0", "(*pdwRecordCount * sizeof(SYSLOG_TABLE))=0x0"}),
       [&] { EXPECT_EQ(list, nullptr); EXPECT_EQ(count, 0u); }},
  });
}
// clang-format on

}  // namespace
}  // namespace qz::stubs_test
