// store_fixture.h -- test fixture of the message store, users and files
// units: a FaxService over an in-memory store with the three families,
// users mapped from made-up uids (the real uid is "bob", so that files he
// names can be opened as him), and calls built by position.
#ifndef QZ_SERVER_STORE_FIXTURE_H_
#define QZ_SERVER_STORE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/interfaces.h"
#include "server/fax_service.h"
#include "server/files.h"
#include "server/message_store.h"
#include "server/server_status.h"
#include "server/sql.h"
#include "server/users.h"

namespace qz::faxd::testing {

constexpr int32_t S(ServerStatus s) { return static_cast<int32_t>(s); }

class ManualClock final : public Clock {
 public:
  int64_t NowMs() override { return now_ms; }
  int64_t now_ms = 1700000000000;
};

// Writes a bilevel TIFF of `pages` pages, each 16x8 pixels, page i filled
// with the byte i + 1 so that pages can be told apart.
inline void WriteTiff(const std::string& path, int pages) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  for (int p = 0; p < pages; ++p) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 16u);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 8u);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t{1});
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
    TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t{COMPRESSION_NONE});
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t{PHOTOMETRIC_MINISWHITE});
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8u);
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, uint32_t{FILETYPE_PAGE});
    uint8_t row[2] = {static_cast<uint8_t>(p + 1), static_cast<uint8_t>(p + 1)};
    for (uint32_t y = 0; y < 8; ++y) ASSERT_EQ(TIFFWriteScanline(t, row, y, 0), 1);
    ASSERT_TRUE(TIFFWriteDirectory(t));
  }
  TIFFClose(t);
}

// First byte of the first row of every page of a TIFF file.
inline std::vector<int> TiffPages(const std::string& path) {
  std::vector<int> pages;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return pages;
  do {
    uint8_t row[8] = {};
    pages.push_back(TIFFReadScanline(t, row, 0, 0) == 1 ? row[0] : -1);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

inline int OpenDescriptors() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

struct Reply {
  int32_t result = 0;
  rpc::ServerArgs args;
  std::vector<uint8_t>& bytes(size_t pos) { return args[pos].bytes; }
};

class StoreFixture : public ::testing::Test {
 protected:
  static constexpr uint32_t kAdminUid = 0x7FFF0001;
  static constexpr uint32_t kCarolUid = 0x7FFF0002;

  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qzstore.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    StoreOptions so;
    so.os_user = "alice";
    so.password_cost = PasswordCost::Minimal();
    std::string error;
    store_ = Store::Open(":memory:", so, &error);
    ASSERT_TRUE(store_) << error;
    context_.store = store_.get();
    context_.clock = &clock_;
    context_.data_dir = dir_ + "/data";
    std::filesystem::create_directories(context_.data_dir);
    messages_ = std::make_unique<MessageStore>(&context_);
    context_.inbox = messages_.get();
    users_ = std::make_unique<Users>(&context_, StoreLimits{}, PasswordCost::Minimal());
    files_ = std::make_unique<Files>(&context_);
    ServiceOptions o;
    o.os_user_name = [](uint32_t uid) -> std::optional<std::string> {
      if (uid == kAdminUid) return "alice";
      if (uid == kCarolUid) return "carol";
      if (uid == static_cast<uint32_t>(getuid())) return "bob";
      return std::nullopt;
    };
    service_ = std::make_unique<FaxService>(store_.get(), o);
    for (ProcedureFamily* f : {static_cast<ProcedureFamily*>(messages_.get()),
                               static_cast<ProcedureFamily*>(users_.get()),
                               static_cast<ProcedureFamily*>(files_.get())})
      service_->AddFamily(f);
    AddUser("bob", {0x300, 0, 0, 0});
    AddUser("carol", {0x300, 0, 0, 0});
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void AddUser(const std::string& id, std::array<uint32_t, 4> rights) {
    User u;
    u.id = id;
    u.name = id;
    u.rights = rights;
    ASSERT_TRUE(store_->AddUser(u, "", 20));
    ASSERT_TRUE(store_->MapOsUser(id, id));
  }
  void SetRights(const std::string& id, std::array<uint32_t, 4> r) {
    store_->WithDb([&](sqlite3* db) {
      Stmt s(db, "UPDATE users SET rights0 = ?, rights1 = ?, rights2 = ?, rights3 = ? WHERE id = ?");
      for (int i = 0; i < 4; ++i) s.Bind(i + 1, int64_t{r[i]});
      s.Bind(5, std::string_view(id));
      EXPECT_EQ(s.Step(), SQLITE_DONE);
    });
  }
  int64_t Count(const std::string& sql, const std::string& arg = "") {
    return store_->WithDb([&](sqlite3* db) {
      Stmt s(db, sql);
      if (!arg.empty()) s.Bind(1, std::string_view(arg));
      return s.Step() == SQLITE_ROW ? s.Int(0) : int64_t{-1};
    });
  }

  static uint32_t UidOf(const std::string& user) {
    return user == "alice" ? kAdminUid : user == "carol" ? kCarolUid : uint32_t(getuid());
  }
  rpc::CallContext Local(const std::string& user) {
    rpc::CallContext c;
    c.protseq = "ncalrpc";
    c.has_peer_credentials = true;
    c.peer_uid = UidOf(user);
    c.peer_gid = static_cast<uint32_t>(getgid());
    c.peer_pid = static_cast<uint32_t>(getpid());
    c.connection_id = 1;
    return c;
  }
  // A live key of `user`, logged in once.
  std::vector<uint8_t> Key(const std::string& user) {
    auto it = keys_.find(user);
    if (it != keys_.end()) return it->second;
    rpc::ServerArgs a = Args(100);
    a[2].number = 1680;
    a[3].bytes.assign(1680, 0);
    EXPECT_EQ(service_->HandleMain(Local(user), 100, a), 1) << user;
    return keys_[user] = a[1].bytes;
  }
  static rpc::ServerArgs Args(uint16_t opnum) {
    rpc::ServerArgs a;
    a.values.resize(ifc::kMainProcedures[opnum].param_count + 1u);
    return a;
  }
  // Calls `opnum` as `user`; `fill` sets the parameters after the key.
  Reply Call(const std::string& user, uint16_t opnum,
             const std::function<void(rpc::ServerArgs&)>& fill,
             const rpc::CallContext* ctx = nullptr) {
    Reply r;
    r.args = Args(opnum);
    r.args[1].bytes = Key(user);
    fill(r.args);
    r.result = service_->HandleMain(ctx ? *ctx : Local(user), opnum, r.args);
    return r;
  }

  // The folder record of `user`'s folder of `kind` and class.
  FOLDERINFO_TABLE Folder(const std::string& user, uint32_t kind, uint32_t cls = 0) {
    Reply r = Call(user, 76, [&](rpc::ServerArgs& a) { a[2].number = static_cast<int32_t>(kind); });
    EXPECT_EQ(r.result, 1);
    for (size_t off = 0; off + sizeof(FOLDERINFO_TABLE) <= r.bytes(3).size();
         off += sizeof(FOLDERINFO_TABLE)) {
      FOLDERINFO_TABLE f;
      std::memcpy(&f, r.bytes(3).data() + off, sizeof f);
      if (f.dwClass == cls) return f;
    }
    ADD_FAILURE() << "no folder of kind " << kind << " class " << cls << " for " << user;
    return FOLDERINFO_TABLE{};
  }
  template <typename R>
  static std::vector<uint8_t> Bytes(const R& r) {
    std::vector<uint8_t> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
  }
  template <typename R>
  static std::vector<R> Records(const std::vector<uint8_t>& b) {
    std::vector<R> out(b.size() / sizeof(R));
    if (!out.empty()) std::memcpy(out.data(), b.data(), out.size() * sizeof(R));
    return out;
  }
  // rpcNewInformation of `items` (one block) with item code `code`.
  Reply NewItems(const std::string& user, int32_t code, const FOLDERINFO_TABLE& f,
                 const std::vector<uint8_t>& items) {
    return Call(user, 26, [&](rpc::ServerArgs& a) {
      a[2].number = code;
      a[3].bytes = Bytes(f);
      a[4].number = 104;
      a[5].bytes = items;
      a[6].number = static_cast<int32_t>(items.size());
    });
  }
  Reply GetItems(const std::string& user, int32_t code, const FOLDERINFO_TABLE& f,
                 const std::string& where = "") {
    return Call(user, 30, [&](rpc::ServerArgs& a) {
      a[2].number = code;
      a[3].bytes = Bytes(f);
      a[4].number = 104;
      a[7].text = where;
    });
  }
  // A received fax of `pages` pages injected for user `to`; its message ID.
  uint32_t Inject(const std::string& to, int pages, const std::string& subject = "hello") {
    std::string doc = dir_ + "/in.tif";
    WriteTiff(doc, pages);
    ReceivedFax fax;
    fax.recv_task_id = 77;
    fax.sender_number = "5550100";
    fax.subject = subject;
    fax.document_path = doc;
    fax.pages = static_cast<uint32_t>(pages);
    fax.time_ms = clock_.now_ms;
    return messages_->InjectReceivedFax(fax, Destination{Destination::Kind::kUser, to});
  }

  std::string dir_;
  ManualClock clock_;
  std::unique_ptr<Store> store_;
  ServerContext context_;
  std::unique_ptr<MessageStore> messages_;
  std::unique_ptr<Users> users_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<FaxService> service_;
  std::map<std::string, std::vector<uint8_t>> keys_;
};

}  // namespace qz::faxd::testing

#endif  // QZ_SERVER_STORE_FIXTURE_H_
