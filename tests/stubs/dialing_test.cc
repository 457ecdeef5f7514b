// dialing_test.cc -- dialing, routing and authorization through their
// exports: operation codes 3 (the last accepted) and 4, the ID-list form of
// code 3, the walks over dial rules and prefix records, count conversions,
// the history export's own checks, the error slot and the traces.
#include "tests/stubs/admin_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint16_t kGetPrefixInfo = 51, kGetDialRule = 53, kGetRouterInfo = 58,
                   kGetAuthorizedInfo = 60, kQueryServerPrinters = 72, kGetFaxAutoRecvHistory = 85,
                   kDelFaxAutoRecvHistory = 86;

class DialingTest : public AdminTest {};

// clang-format off
TEST_F(DialingTest, Table) {
  void* list = nullptr;
  uint32_t count = 0;
  const Bytes ids = Data(16), routes = Data(2 * 204), auth = Data(2 * 34), autorecv = Data(168);
  const Bytes rules = Records({60, 80}), prefix = Records({150});
  auto counted = [&](uint32_t n) { return [&, n] { EXPECT_EQ(count, n); Free(list); }; };
  auto sent = [](uint32_t code, const Bytes& b) {
    return Req([&](Wire& w) { Block(w.U32(code), b).U32(static_cast<uint32_t>(b.size())); });
  };
  auto query = [](const char* cond) { return Req([&](Wire& w) { NullReply(Text(w, cond)); }); };
  auto* dial = (DIALRULE_TABLE*)rules.data();
  const std::string history = "@Call RemoteGetFaxAutoRecvHistory";

  Run({
      {"routing code 3 with bit 0x80 alone: four IDs are 16 bytes", Rights3(0x80),
       [&] { return RemoteRouterOP(id_, 3, (void*)ids.data(), 4); }, 1, {sent(3, ids)}, kUntouched,
       Skeleton({"@Call RemoteRouterOP", "dwServerID=ID", "dwCommand=3", "pInfo=P", "dwRecordCount=0x4",
                 "#4", "@Call RemoteRouterOP return", Lret(1)})},
      {"routing code 1: two records are 408 bytes", nullptr,
       [&] { return RemoteRouterOP(id_, 1, (void*)routes.data(), 2); }, 1, {sent(1, routes)}, kUntouched, ""},
      {"routing code 4 is refused before anything is sent", nullptr,
       [&] { return RemoteRouterOP(id_, 4, (void*)routes.data(), 2); }, QZ_E_INVALIDARG, {},
       QZ_E_INVALIDARG, ""},
      {"routing without bit 0x80", Rights3(~0x80u),
       [&] { return RemoteRouterOP(id_, 1, (void*)routes.data(), 2); }, QZ_E_ACCESSDENIED, {},
       QZ_E_ACCESSDENIED, ""},
      {"authorization code 3 still sends records: 2 entries are 68 bytes", Rights3(0x20000),
       [&] { return RemoteAuthorizedOP(id_, 3, (AUTHORIZEDINFO_TABLE*)auth.data(), 2); }, 1,
       {sent(3, auth)}, kUntouched,
       Skeleton({"@Call RemoteAuthorizedOP", "dwServerID=ID", "dwCommand=3", "pInfo=P",
                 "dwRecordCount=0x2", "#2", "@Call RemoteAuthorizedOP return", Lret(1)})},
      {"automatic reception needs no rights bit", Rights3(0),
       [&] { return RemoteAutoRecvOP(id_, 0, (void*)autorecv.data(), 1); }, 1, {sent(0, autorecv)},
       kUntouched, ""},
      {"the prefix table takes one record only", nullptr,
       [&] { return RemotePrefixTableOP(id_, 1, (PREFIXINFO_TABLE*)prefix.data(), 2); },
       QZ_E_INVALIDARG, {}, QZ_E_INVALIDARG, ""},
      {"one prefix record of 150 bytes", nullptr,
       [&] { return RemotePrefixTableOP(id_, 1, (PREFIXINFO_TABLE*)prefix.data(), 1); }, 1,
       {sent(1, prefix)}, kUntouched, ""},
      {"dial rules of 60 and 80 bytes are 140, with bit 0x1000 alone", Rights3(0x1000),
       [&] { return RemoteDialRuleOP(id_, 2, dial, 2); }, 1, {sent(2, rules)}, kUntouched, ""},
      {"a dial rule of length 2 ends the walk: the access violation is recorded", nullptr,
       [&] { return RemoteDialRuleOP(id_, 2, (DIALRULE_TABLE*)Records({60, 2}).data(), 2); },
       0xC0000005u, {}, 0xC0000005u, ""},
      {"dial rules without bit 0x1000 (0x2000 is for reading)", Rights3(0x2000),
       [&] { return RemoteDialRuleOP(id_, 2, dial, 2); }, QZ_E_ACCESSDENIED, {}, QZ_E_ACCESSDENIED, ""},
      {"checking a dial rule is not offered and sends nothing", nullptr,
       [&] { return RemoteCheckDialRule(id_, 5, 6); }, E_NOTIMPL, {}, kUntouched,
       Skeleton({"@Call RemoteCheckDialRule", "dwServerID=ID", "dwDialRuleID=5",
                 "@Call RemoteCheckDialRule return", Lret(E_NOTIMPL)})},
      {"routing entries: 612 bytes are 3, with bit 0x100 alone",
       [&] { LogIn(kAll, 0x100); Answer(kGetRouterInfo, 3, Data(612))(); },
       [&] { return RemoteGetRouterInfo(id_, "r", (ROUTERCONFIG_TABLE**)&list, &count); }, 1,
       {query("r")}, kUntouched,
       Skeleton({"@Call RemoteGetRouterInfo", "dwServerID=ID", "pszCondition=r",
                 "@Call RemoteGetRouterInfo return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRecordCount) * sizeof(ROUTERCONFIG_TABLE)=0x264", "#612"}), counted(3)},
      {"routing entries without bit 0x100 (0x80 is for changing)", Rights3(0x80),
       [&] { return RemoteGetRouterInfo(id_, "r", (ROUTERCONFIG_TABLE**)&list, &count); },
       QZ_E_ACCESSDENIED, {}, QZ_E_ACCESSDENIED, "", counted(0)},
      {"authorization entries: 100 bytes are 2, the rest dropped", Answer(kGetAuthorizedInfo, 3, Data(100)),
       [&] { return RemoteGetAuthorizedInfo(id_, nullptr, (AUTHORIZEDINFO_TABLE**)&list, &count); }, 1,
       {query("")}, kUntouched,
       Skeleton({"@Call RemoteGetAuthorizedInfo", "pszCond=\" \"", "dwServerID=ID",
                 "@Call RemoteGetAuthorizedInfo return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRecordCount) * sizeof(AUTHORIZEDINFO_TABLE)=0x44", "#68"}), counted(2)},
      {"prefix records of 20 and 30 bytes: counted, dumped as they are",
       Answer(kGetPrefixInfo, 3, Records({20, 30})),
       [&] { return RemoteGetPrefixTable(id_, "p", (PREFIXINFO_TABLE**)&list, &count); }, 1,
       {query("p")}, kUntouched,
       Skeleton({"@Call RemoteGetPrefixTable", "dwServerID=ID", "pszCondition=p",
                 "@Call rpcGetPrefixInfo return", "(*ppInfo)=P", "lSize=0x32", "#50",
                 "@Call RemoteGetPrefixTable return", Lret(1), "(*ppInfo)=P",
                 "(*pdwRecordCount) * sizeof(COVERPAGEFIELD_TABLE)=0x32", "#50"}), counted(2)},
      {"dial rules that are not whole records: 1783, recorded", Answer(kGetDialRule, 3, Records({20, 40, 2})),
       [&] { return RemoteGetDialRule(id_, "", (DIALRULE_TABLE**)&list, &count); }, 1783, {query("")},
       1783, "", counted(2)},
      {"printers: the count is written even when the server refuses",
       Answer(kQueryServerPrinters, 2, Data(560), kRefused),
       [&] { return RemoteQueryServerPrinters(id_, (PRINTERINFO**)&list, &count); }, kRefused,
       {Req([](Wire& w) { NullReply(w); })}, kUntouched,
       Skeleton({"@Call RemoteQueryServerPrinters", "dwServerID=ID", "@Call RemoteQueryServerPrinters return",
                 Lret(kRefused), "(*ppInfo)=P", "(*pdwRecCount) * sizeof(PRINTERINFO)=0x230", "#560"}),
       counted(2)},
      {"history: a null count pointer is a bad parameter before the ID check", nullptr,
       [&] { list = &count; return RemoteGetFaxAutoRecvHistory(id_ + 1, "x", (AUTORECVHISTORY_TABLE**)&list, nullptr); },
       QZ_E_BADPARAM, {}, kUntouched, Skeleton({history, "szCond=x"}), [&] { EXPECT_EQ(list, &count); }},
      {"history: 400 bytes are 2 entries, no rights bit; the dump is *pdwCount bytes",
       [&] { LogIn(kAll, 0); Answer(kGetFaxAutoRecvHistory, 3, Data(400))(); },
       [&] { return RemoteGetFaxAutoRecvHistory(id_, "x", (AUTORECVHISTORY_TABLE**)&list, &count); }, 1,
       {query("x")}, kUntouched,
       Skeleton({history, "szCond=x", history + " return", Lret(1), "(*ppInfo)=P", "(*pdwCount)=0x2", "#2"}),
       counted(2)},
      {"deleting history: a refusal is returned, not recorded",
       [&] { server_->Return(kDelFaxAutoRecvHistory, kRefused); },
       [&] { return RemoteDelFaxAutoRecvHistor(id_, nullptr); }, kRefused,
       {Req([](Wire& w) { Text(w, ""); })}, kUntouched,
       Skeleton({"@Call RemoteDelFaxAutoRecvHistor", "szCond=\" \"", "@Call RemoteDelFaxAutoRecvHistor return",
                 Lret(kRefused)})},
  });
}
// clang-format on

}  // namespace
}  // namespace qz::stubs_test
