// line_test.cc -- lines, devices and scripts through their exports: request
// bytes, check order, the error slot, count conversions and the traces (the
// exports' and the session's own entries), in one table.
#include "tests/stubs/admin_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint16_t kGetDeviceInfo = 32, kGetPortLimited = 33, kStopPort = 36,
                   kGetPortRealInfo = 37, kGetScriptList = 38, kGetPortList = 71;

std::string g_box;  // the last message box, "caption: text"
void CaptureBox(const char* text, const char* caption) {
  g_box = std::string(caption) + ": " + text;
}

class LineTest : public AdminTest {};

// clang-format off
TEST_F(LineTest, Table) {
  void* list = nullptr;
  uint32_t count = 0;
  const Bytes ports = Data(2 * 88), port = Data(88), rule = Data(48), ids = Data(20);
  const Bytes scripts = Records({120, 200});
  auto* pp = (PORTINFO_TABLE*)ports.data();
  auto counted = [&](uint32_t n) { return [&, n] { EXPECT_EQ(count, n); Free(list); }; };
  auto sent = [](uint32_t code, const Bytes& b) {
    return Req([&](Wire& w) { Block(w.U32(code), b).U32(static_cast<uint32_t>(b.size())); });
  };
  auto query = [](const char* cond) { return Req([&](Wire& w) { NullReply(Text(w, cond)); }); };
  const Bytes no_text = Req([](Wire& w) { NullReply(w); });
  const std::string stop = "@Call RemoteStopLine";

  Run({
      {"not logged in: the ID is refused, the return entry still written (variant B)",
       [&] { SessionTestAccess::SetState(*session_, 0); },
       [&] { return RemoteSetPortStatus(id_, pp, 0); }, QZ_E_BADSERVERID, {}, QZ_E_NOTLOGGEDIN,
       Skeleton({"@Call RemoteSetPortStatus", "dwServerID=ID", "@Call RemoteSetPortStatus return",
                 "dwRecordCount=0", Lret(QZ_E_BADSERVERID)})},
      {"zero records on a live session: refused and recorded", nullptr,
       [&] { return RemoteSetPortStatus(id_, pp, 0); }, QZ_E_INVALIDARG, {}, QZ_E_INVALIDARG, ""},
      {"two ports are 176 bytes; the session's own entry follows the call", nullptr,
       [&] { return RemoteSetPortStatus(id_, pp, 2); }, 1,
       {Req([&](Wire& w) { Block(w, ports).U32(176); })}, kUntouched,
       Skeleton({"@Call RemoteSetPortStatus", "dwServerID=ID", "@Call rpcSetPortStatus", "pPortInfo=P",
                 "dwRecordCount*sizeof(PORTINFO_TABLE)=0xb0", "#176",
                 "@Call RemoteSetPortStatus return", "dwRecordCount=2", Lret(1)})},
      {"a refusal of the server is returned, not recorded", [&] { server_->Return(kStopPort, kRefused); },
       [&] { return RemoteStopLine(id_, (PORTINFO_TABLE*)port.data(), 1); }, kRefused,
       {Req([&](Wire& w) { Block(w, port).U32(88); })}, kUntouched,
       Skeleton({stop, "dwServerID=ID", "@Call rpcStopPort", "pPortInfo=P",
                 "dwRecordCount*sizeof(PORTINFO_TABLE)=0x58", "#88", stop + " return", Lret(kRefused)})},
      {"an RPC fault is recorded; no entry of the session's own", [&] { server_->Fault(kStopPort, 5); },
       [&] { return RemoteStopLine(id_, (PORTINFO_TABLE*)port.data(), 1); }, 5,
       {Req([&](Wire& w) { Block(w, port).U32(88); })}, 5,
       Skeleton({stop, "dwServerID=ID", stop + " return", Lret(5)})},
      {"line rules without bit 0x4", Rights3(~0x4u),
       [&] { return RemotePortLimitedOP(id_, 5, (LINECHECK_TABLE*)rule.data(), 1); },
       QZ_E_ACCESSDENIED, {}, QZ_E_ACCESSDENIED, ""},
      {"line rules with bit 0x4 alone", Rights3(0x4),
       [&] { return RemotePortLimitedOP(id_, 5, (LINECHECK_TABLE*)rule.data(), 1); }, 1,
       {sent(5, rule)}, kUntouched,
       Skeleton({"@Call RemotePortLimitedOP", "dwCommand=5", "pInfo=P",
                 "dwRecordCount*sizeof(LINECHECK_TABLE)=0x30", "#48", "@Call rpcPortLimitedOP return",
                 "dwCommand=5", "pInfo=P", "dwRecordCount*sizeof(LINECHECK_TABLE)=0x30", "#48",
                 "@Call RemotePortLimitedOP return", Lret(1)})},
      {"script command 4 is refused as an access violation", nullptr,
       [&] { return RemoteScriptFileOP(id_, 4, (void*)ids.data(), 5); }, QZ_E_ACCESSVIOLATION, {},
       QZ_E_ACCESSVIOLATION, ""},
      {"script command 3: five IDs are 20 bytes", nullptr,
       [&] { return RemoteScriptFileOP(id_, 3, (void*)ids.data(), 5); }, 1, {sent(3, ids)},
       kUntouched, ""},
      {"script command 1: records of 120 and 200 bytes are 320", nullptr,
       [&] { return RemoteScriptFileOP(id_, 1, (void*)scripts.data(), 2); }, 1, {sent(1, scripts)},
       kUntouched,
       Skeleton({"@Call RemoteScriptFileOP", "dwServerID=ID", "dwCommand=1", "@Call rpcScriptFileOP",
                 "dwCommand=1", "pInfo=P", "lSize=0x140", "#320", "@Call RemoteScriptFileOP return",
                 Lret(1)})},
      {"a script record of length 4, the shortest", nullptr,
       [&] { return RemoteScriptFileOP(id_, 1, (void*)Records({4}).data(), 1); }, 1,
       {sent(1, Records({4}))}, kUntouched, ""},
      {"a script record of length 3: refused and recorded, no box, nothing sent",
       [&] { g_box.clear(); platform::SetMessageBoxSink(&CaptureBox); },
       [&] { return RemoteScriptFileOP(id_, 1, (void*)Records({3}).data(), 1); },
       QZ_E_INVALIDARG, {}, QZ_E_INVALIDARG, "",
       [&] {
         platform::SetMessageBoxSink(nullptr);
         EXPECT_EQ(g_box, "");
       }},
      {"port list: 440 bytes are 5 lines", Answer(kGetPortList, 3, Data(440)),
       [&] { return RemoteGetPortList(id_, "line=1", (PORTINFO_TABLE**)&list, &count); }, 1,
       {query("line=1")}, kUntouched,
       Skeleton({"@Call RemoteGetPortList", "dwServerID=ID", "pszCondition=line=1",
                 "@Call RemoteGetPortList return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRec) * sizeof(PORTINFO_TABLE)=0x1b8", "#440"}), counted(5)},
      {"port list refused: the byte count stays, the dump stays in the block",
       Answer(kGetPortList, 3, Data(440), kRefused),
       [&] { return RemoteGetPortList(id_, nullptr, (PORTINFO_TABLE**)&list, &count); }, kRefused,
       {query("")}, kUntouched,
       Skeleton({"@Call RemoteGetPortList", "dwServerID=ID", "pszCondition=\" \"",
                 "@Call RemoteGetPortList return", Lret(kRefused), "(*ppInfo)=P",
                 "(*pdwRec) * sizeof(PORTINFO_TABLE)=0x1b8", "#440"}), counted(440)},
      {"devices: the condition is traced, not sent", Answer(kGetDeviceInfo, 2, Data(130)),
       [&] { return RemoteGetDeviceInfo(id_, "any", (DEVICEINFO_TABLE**)&list, &count); }, 1,
       {no_text}, kUntouched, "", counted(2)},
      {"line rules: dwOP is traced, not sent", Answer(kGetPortLimited, 3, Data(96)),
       [&] { return RemoteGetPortLimited(id_, 9, "p", (LINECHECK_TABLE**)&list, &count); }, 1,
       {query("p")}, kUntouched,
       Skeleton({"@Call RemoteGetPortLimited", "dwServerID=ID", "dwOP=9", "pParam=p",
                 "@Call RemoteGetPortLimited return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRecordCount) * sizeof(LINECHECK_TABLE)=0x60", "#96"}), counted(2)},
      {"scripts of 110, 104 and 300 bytes are 3; the dump 3 x 104 bytes",
       Answer(kGetScriptList, 3, Records({110, 104, 300})),
       [&] { return RemoteGetScripts(id_, (SCRIPTINFO**)&list, &count); }, 1, {query("")}, kUntouched,
       Skeleton({"@Call RemoteGetScripts", "dwServerID=ID", "@Call rpcGetScriptList", "*ppScriptInfo=P",
                 "lSize=0x202", "#514", "@Call RemoteGetScripts return", Lret(1), "(*ppScriptInfo)=P",
                 "(*pdwRecordCount) * sizeof(SCRIPTINFO)=0x138", "#312"}), counted(3)},
      {"short scripts: the return dump ends with the records", Answer(kGetScriptList, 3, Records({20, 30})),
       [&] { return RemoteGetScripts(id_, (SCRIPTINFO**)&list, &count); }, 1, {query("")}, kUntouched,
       Skeleton({"@Call RemoteGetScripts", "dwServerID=ID", "@Call rpcGetScriptList", "*ppScriptInfo=P",
                 "lSize=0x32", "#50", "@Call RemoteGetScripts return", Lret(1), "(*ppScriptInfo)=P",
                 "(*pdwRecordCount) * sizeof(SCRIPTINFO)=0x32", "#50"}), counted(2)},
      {"a script reply that is not whole records: 1783, recorded",
       Answer(kGetScriptList, 3, Records({20, 3})),
       [&] { return RemoteGetScripts(id_, (SCRIPTINFO**)&list, &count); }, 1783, {query("")}, 1783, "",
       counted(1)},
      {"live status needs no rights bit",
       [&] { LogIn(kAll, 0); Answer(kGetPortRealInfo, 2, Data(2 * 96 + 5))(); },
       [&] { return RemoteGetPortRealInfo(id_, (PORT_CURRENT_STATUS**)&list, &count); }, 1, {no_text},
       kUntouched,
       Skeleton({"@Call RemoteGetPortRealInfo", "dwServerID=ID", "@Call rpcGetPortRealInfo", "*ppInfo=P",
                 "lSize=0xc5", "#197", "@Call RemoteGetPortRealInfo return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRec) * sizeof(PORT_CURRENT_STATUS)=0xc0", "#192"}), counted(2)},
  });
}
// clang-format on

}  // namespace
}  // namespace qz::stubs_test
