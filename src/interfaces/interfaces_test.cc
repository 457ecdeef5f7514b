// Structural checks of the procedure tables: every sized parameter points
// at a parameter that can size it, keys come first where the server expects
// them, and the names sit at their opnums.
#include "interfaces/interfaces.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace qz::ifc {
namespace {

using rpc::Shape;

bool IsSized(Shape s) {
  switch (s) {
    case Shape::kBlock: case Shape::kIoBlock: case Shape::kIoBlockRef: case Shape::kIds:
    case Shape::kReply: case Shape::kReplyOut: case Shape::kCvArray: case Shape::kSizedText:
      return true;
    default:
      return false;
  }
}

// Shapes counted by a by-value long; the others by a count passed by reference.
bool SizedByValue(Shape s) {
  return s == Shape::kBlock || s == Shape::kIoBlock || s == Shape::kIds ||
         s == Shape::kCvArray || s == Shape::kSizedText;
}

void CheckTable(const InterfaceDesc& iface) {
  std::set<std::string> names;
  for (uint16_t op = 0; op < iface.count; ++op) {
    const rpc::ProcDesc& p = iface.procs[op];
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.opnum, op);
    EXPECT_TRUE(names.insert(p.name).second) << "duplicate name";
    EXPECT_EQ(std::string(p.name).rfind("rpc", 0), 0u);
    for (int i = 0; i < p.param_count; ++i) {
      const rpc::ParamDesc& d = p.params[i];
      if (!IsSized(d.shape)) {
        EXPECT_EQ(d.size_param, 0);
        continue;
      }
      ASSERT_GE(d.size_param, 1);
      ASSERT_LE(d.size_param, p.param_count);
      ASSERT_NE(d.size_param, i + 1);
      Shape sizer = p.params[d.size_param - 1].shape;
      if (SizedByValue(d.shape)) {
        EXPECT_EQ(sizer, Shape::kLong) << "parameter " << i + 1;
      } else {
        EXPECT_EQ(sizer, Shape::kCount) << "parameter " << i + 1;
      }
    }
  }
}

TEST(InterfaceTable, MainInterfaceIsConsistent) {
  const InterfaceDesc& main = MainInterface();
  ASSERT_EQ(main.count, 102);
  CheckTable(main);
  EXPECT_EQ(main.id.uuid.ToString(), "0a382c88-ff39-419c-a696-022f6e695506");
  EXPECT_EQ(main.id.major, 1);
  EXPECT_EQ(main.id.minor, 0);
}

TEST(InterfaceTable, ServiceControlInterfaceIsConsistent) {
  const InterfaceDesc& svc = ServiceControlInterface();
  ASSERT_EQ(svc.count, 6);
  CheckTable(svc);
  EXPECT_EQ(svc.id.uuid.ToString(), "6238dc00-af17-11cd-b799-00aa003cd575");
  for (uint16_t op = 0; op < svc.count; ++op) EXPECT_EQ(svc.procs[op].params[0].shape, Shape::kKey);
}

TEST(InterfaceTable, SessionKeyLeadsAllButTheKeylessProcedures) {
  const std::set<int> keyless = {2, 92, 95, 101};
  for (uint16_t op = 0; op < 102; ++op) {
    const rpc::ProcDesc& p = kMainProcedures[op];
    SCOPED_TRACE(p.name);
    if (keyless.count(op)) {
      EXPECT_TRUE(p.param_count == 0 || (p.params[0].shape != Shape::kKey &&
                                         p.params[0].shape != Shape::kKeyOut));
    } else {
      ASSERT_GE(p.param_count, 1);
      Shape first = p.params[0].shape;
      EXPECT_TRUE(first == Shape::kKey || first == Shape::kKeyOut);
    }
    EXPECT_EQ(p.explicit_handle, op != 2);
  }
}

// Rows whose shapes the library's call sites depend on in detail.
TEST(InterfaceTable, SelectedSignatures) {
  struct Row {
    const char* name;
    uint16_t opnum;
    std::vector<rpc::ParamDesc> params;
  };
  const Row rows[] = {
      {"rpcQueryUserLog", 3, {{Shape::kKey}, {Shape::kText}, {Shape::kReply, 4}, {Shape::kCount}}},
      {"rpcSendFax", 13, {{Shape::kKey}, {Shape::kBlock, 3}, {Shape::kLong},
                          {Shape::kIoBlockRef, 5}, {Shape::kCount}}},
      {"rpcTransferFax", 14, {{Shape::kKey}, {Shape::kIds, 3}, {Shape::kLong}, {Shape::kBlock, 5},
                              {Shape::kLong}}},
      {"rpcGetInformation", 30, {{Shape::kKey}, {Shape::kLong}, {Shape::kBlock, 4}, {Shape::kLong},
                                 {Shape::kReply, 6}, {Shape::kCount}, {Shape::kText}}},
      {"rpcImportFaxInfo", 89, {{Shape::kKey}, {Shape::kLong}, {Shape::kChar}, {Shape::kLong}}},
      {"rpcSendFaxFromConn", 93, {{Shape::kKey}, {Shape::kConnSendInfo}}},
      {"rpcPrintToTiffFromConn", 95, {{Shape::kPrintToTiff}}},
      {"rpcGetDraftInformation", 96, {{Shape::kKey}, {Shape::kCount}, {Shape::kReplyOut, 2}}},
      {"rpcLogInServer", 100, {{Shape::kKeyOut}, {Shape::kLong}, {Shape::kIoBlock, 2}}},
      {"rpcAdviseOP", 101, {{Shape::kGuid}, {Shape::kLong}, {Shape::kLong}, {Shape::kCvArray, 3}}},
  };
  for (const Row& row : rows) {
    const rpc::ProcDesc* p = FindProcedure(MainInterface(), row.name);
    ASSERT_NE(p, nullptr) << row.name;
    EXPECT_EQ(p->opnum, row.opnum) << row.name;
    ASSERT_EQ(p->param_count, row.params.size()) << row.name;
    for (size_t i = 0; i < row.params.size(); ++i) {
      EXPECT_EQ(p->params[i].shape, row.params[i].shape) << row.name << " param " << i + 1;
      EXPECT_EQ(p->params[i].size_param, row.params[i].size_param) << row.name << " param " << i + 1;
    }
  }
  EXPECT_EQ(FindProcedure(MainInterface(), "rpcNoSuchThing"), nullptr);
}

}  // namespace
}  // namespace qz::ifc
