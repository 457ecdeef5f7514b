// admin_test_support.h -- a store with every family built on it, and calls
// of the administration procedures as the dispatcher hands them over, for
// the tests of lines.cc, dialing.cc, syslog_config.cc and reports.cc.
// Thread-safety: one test thread.
#ifndef QZ_SERVER_ADMIN_TEST_SUPPORT_H_
#define QZ_SERVER_ADMIN_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/interfaces.h"
#include "qzcsif/qzcsif.h"
#include "server/daemon.h"
#include "server/dialing.h"
#include "server/record_table.h"

namespace qz::faxd::testing {

class StepClock final : public Clock {
 public:
  int64_t NowMs() override { return now_ms; }
  int64_t now_ms = 1700000000000;  // 2023-11-14 22:13:20 UTC
};

// Bytes of a typed record (or several).
template <typename T>
std::vector<uint8_t> Bytes(const T& t) {
  std::vector<uint8_t> b;
  AppendRecord(&b, t);
  return b;
}
template <typename T>
T Zeroed() {
  T t;
  std::memset(&t, 0, sizeof t);
  return t;
}
template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
  PutTextAt(reinterpret_cast<uint8_t*>(field), N, text);
}

class AdminHarness {
 public:
  AdminHarness() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qzadmin.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    StoreOptions o;
    o.password_cost = PasswordCost::Minimal();
    std::string error;
    store = Store::Open(":memory:", o, &error);
    EXPECT_TRUE(store) << error;
    context.store = store.get();
    context.clock = &clock;
    context.data_dir = dir_;
    // No simulated lines: the tests configure the lines they need.
    context.send_simulation.lines = 0;
    // The families wire the Telephony, Routing and SystemLog hooks.
    families = MakeFamilies(&context);
    admin = *store->GetUser("admin");
  }
  ~AdminHarness() { std::filesystem::remove_all(dir_); }

  // A user with only the given masks.
  User AddUser(const std::string& id, std::array<uint32_t, 4> rights) {
    User u;
    u.id = id;
    u.name = id;
    u.rights = rights;
    EXPECT_TRUE(store->AddUser(u, "", 10));
    return *store->GetUser(id);
  }

  rpc::ServerArgs Args(uint16_t opnum) {
    rpc::ServerArgs a;
    a.values.resize(ifc::kMainProcedures[opnum].param_count + 1u);
    return a;
  }
  // Runs `opnum` for `user` through the family that claims it.
  int32_t Run(uint16_t opnum, rpc::ServerArgs& args, const User& user) {
    rpc::CallContext ctx;
    ctx.protseq = "ncalrpc";
    note.clear();
    for (auto& f : families) {
      if (!f->HandlesMain(opnum)) continue;
      Call call(ctx, args, user, 1, &note);
      return f->Main(call, opnum);
    }
    ADD_FAILURE() << "no family for " << opnum;
    return 0;
  }
  // A write procedure of the shape (command, block, size).
  int32_t Command(uint16_t opnum, int32_t command, const std::vector<uint8_t>& block,
                  const User* user = nullptr) {
    rpc::ServerArgs a = Args(opnum);
    a[2].number = command;
    a[3].bytes = block;
    a[4].number = static_cast<int32_t>(block.size());
    return Run(opnum, a, user ? *user : admin);
  }
  // A list query of the shape (condition, reply, count); the reply in *out.
  int32_t Query(uint16_t opnum, const std::string& condition, std::vector<uint8_t>* out,
                const User* user = nullptr) {
    rpc::ServerArgs a = Args(opnum);
    a[2].text = condition;
    int32_t rc = Run(opnum, a, user ? *user : admin);
    EXPECT_EQ(a[4].number, static_cast<int32_t>(a[3].bytes.size()));
    *out = a[3].bytes;
    return rc;
  }
  template <typename T>
  std::vector<T> Records(const std::vector<uint8_t>& bytes) {
    std::vector<T> out;
    for (size_t i = 0; i + sizeof(T) <= bytes.size(); i += sizeof(T))
      out.push_back(RecordAs<T>(bytes.data() + i));
    EXPECT_EQ(bytes.size() % sizeof(T), 0u);
    return out;
  }

  StepClock clock;
  std::unique_ptr<Store> store;
  ServerContext context;
  std::vector<std::unique_ptr<ProcedureFamily>> families;
  User admin;
  std::string note;

 private:
  std::string dir_;
};

}  // namespace qz::faxd::testing

#endif  // QZ_SERVER_ADMIN_TEST_SUPPORT_H_
