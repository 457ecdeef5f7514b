// files_test.cc -- files, the single-page fetch, import and drafts:
// through FaxService, and the page fetch also over the wire with the real
// stubs (ncalrpc and TCP) against a loopback daemon.
#include "server/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "interfaces/stubs.h"
#include "rpc/binding_api.h"
#include "server/daemon.h"
#include "server/store_fixture.h"

namespace qz::faxd::testing {
namespace {

using FilesTest = StoreFixture;

TEST_F(FilesTest, OnePageGoesIntoTheCallersDescriptorOnlyLocally) {
  uint32_t id = Inject("bob", 2);
  ASSERT_NE(id, 0u);
  std::string out = dir_ + "/page.tif";
  int before = OpenDescriptors();
  auto fetch = [&](const std::string& user, uint32_t dw, int flags,
                   const rpc::CallContext* ctx = nullptr, int handle = -2) {
    int fd = ::open(out.c_str(), flags | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    int32_t rc = Call(user, 90, [&](rpc::ServerArgs& a) {
      a[2].number = static_cast<int32_t>(dw);
      a[3].number = handle == -2 ? fd : handle;
    }, ctx).result;
    ::close(fd);
    return rc;
  };
  struct Case {
    uint32_t dw;
    int flags;
    int32_t expect;
    std::vector<int> pages;
  };
  const Case cases[] = {
      {id, O_RDWR, 1, {1}},
      {id | (1u << 24), O_RDWR, 1, {2}},             // page index 1: the last page
      {id | (2u << 24), O_RDWR, S(kBadDocument), {}},  // one past it
      {id, O_RDONLY, S(kFileDenied), {}},            // not open for writing
      {id + 1000, O_RDWR, S(kNotFound), {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fetch("bob", c.dw, c.flags), c.expect) << std::hex << c.dw;
    if (c.expect == 1) {
      EXPECT_EQ(TiffPages(out), c.pages);
    }
  }
  EXPECT_EQ(fetch("bob", id, O_RDWR, nullptr, 9999), S(kFileDenied));
  rpc::CallContext tcp;
  tcp.protseq = "ncacn_ip_tcp";
  tcp.peer_address = "127.0.0.1";
  // A local key from a TCP caller is no key at all (keys are bound to the
  // caller that logged in); a TCP session's refusal, kNotLocal, is tested
  // over the wire below.
  EXPECT_EQ(fetch("bob", id, O_RDWR, &tcp), S(kBadKey));
  // Carol's process would have to be hers: this one is not.
  uint32_t hers = Inject("carol", 1);
  EXPECT_EQ(fetch("carol", hers, O_RDWR), S(kFileDenied));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(FilesTest, FaxFilesMoveWithTheClientsIdentity) {
  uint32_t id = Inject("bob", 1);
  auto receive = [&](const std::string& user, const std::string& path, int32_t* value) {
    Reply r = Call(user, 44, [&](rpc::ServerArgs& a) {
      a[2].number = static_cast<int32_t>(id);
      a[3].text = path;
    });
    if (value) *value = r.args[4].number;
    return r.result;
  };
  auto replace = [&](const std::string& user, const std::string& path) {
    return Call(user, 47, [&](rpc::ServerArgs& a) {
      a[2].number = static_cast<int32_t>(id);
      a[3].text = path;
    }).result;
  };
  int32_t value = 0;
  std::string copy = dir_ + "/copy.tif";
  EXPECT_EQ(receive("bob", copy, &value), 1);
  EXPECT_EQ(value, static_cast<int32_t>(std::filesystem::file_size(copy)));
  EXPECT_EQ(TiffPages(copy).size(), 1u);
  EXPECT_EQ(receive("bob", dir_ + "/missing/copy.tif", nullptr), S(kNoSuchFile));
  EXPECT_EQ(receive("bob", "relative.tif", nullptr), S(kFileDenied));
  EXPECT_EQ(receive("carol", copy, nullptr), S(kNotFound));

  std::string three = dir_ + "/three.tif";
  WriteTiff(three, 3);
  std::string text = dir_ + "/note.txt";
  { std::ofstream(text) << "not a fax"; }
  std::string locked = dir_ + "/locked.tif";
  WriteTiff(locked, 1);
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  struct Case {
    const char* user;
    std::string path;
    int32_t expect;
  };
  const Case cases[] = {
      {"bob", text, S(kBadDocument)},
      // Opened as the client: a file the caller cannot read stays closed
      // (root reads everything, so this row says nothing for root).
      {"bob", locked, geteuid() == 0 ? 1 : S(kFileDenied)},
      {"bob", three, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(replace(c.user, c.path), c.expect) << c.path;
  Reply view = Call("bob", 70, [&](rpc::ServerArgs& a) { a[2].text = "id=" + std::to_string(id); });
  ASSERT_EQ(view.bytes(3).size(), 84u);
  EXPECT_EQ(Records<FAXVIEW_TABLE>(view.bytes(3))[0].dwPages, 3u);
  // Carol sees no message of bob's; with its ID she gets NOT_FOUND, and a
  // file she names is opened as her: another uid, which may not read
  // bob's 0600 file (a root server takes on her identity for the open, an
  // unprivileged one refuses any uid but its own).
  EXPECT_EQ(replace("carol", three), S(kNotFound));
  uint32_t hers = Inject("carol", 1);
  EXPECT_EQ(Call("carol", 47, [&](rpc::ServerArgs& a) {
              a[2].number = static_cast<int32_t>(hers);
              a[3].text = three;
            }).result, S(kFileDenied));
  // Deleting by type: the document goes, the message stays without pages.
  auto del = [&](int32_t type, const std::string& name) {
    return Call("bob", 50, [&](rpc::ServerArgs& a) { a[2].number = type; a[3].text = name; }).result;
  };
  EXPECT_EQ(del(4, std::to_string(id)), S(kBadArgument));
  EXPECT_EQ(del(1, "x" + std::to_string(id)), S(kBadArgument));
  EXPECT_EQ(del(1, std::to_string(id)), 1);
  EXPECT_EQ(del(0, std::to_string(id)), S(kNotFound));
  EXPECT_EQ(receive("bob", copy, nullptr), S(kNotFound));
  EXPECT_EQ(del(3, "dial.scr"), S(kAccessDenied));
}

TEST_F(FilesTest, CoverPagesAndScriptsAreAnAdministratorsToChange) {
  std::string src = dir_ + "/welcome.cov";
  { std::ofstream(src) << "cover"; }
  auto call = [&](uint16_t opnum, int32_t id, std::vector<std::string> texts) {
    return Call("bob", opnum, [&](rpc::ServerArgs& a) {
      a[2].number = id;
      for (size_t i = 0; i < texts.size(); ++i) a[3 + i].text = texts[i];
    }).result;
  };
  EXPECT_EQ(call(48, 0, {src}), S(kAccessDenied));
  store_->WithDb([](sqlite3* db) { return sqlite3_exec(db, "UPDATE users SET user_type = 1 WHERE id = 'bob'", nullptr, nullptr, nullptr); });
  EXPECT_EQ(call(48, 0, {src}), 1);
  EXPECT_EQ(call(48, 0, {src}), S(kExists));
  EXPECT_EQ(call(45, 1, {dir_ + "/back.cov"}), 1);
  EXPECT_EQ(call(49, 0, {"../evil", src}), S(kBadArgument));
  // The file of a listed script only: no file for a name no script has.
  EXPECT_EQ(call(49, 0, {"dial.scr", src}), S(kNotFound));
  EXPECT_FALSE(std::filesystem::exists(context_.data_dir + "/scripts/dial.scr"));
  store_->WithDb([](sqlite3* db) {
    return sqlite3_exec(db, "INSERT INTO scripts (id, name, flags, description, record)"
                            " VALUES (1, 'dial.scr', 0, '', x'')", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(call(49, 0, {"dial.scr", src}), 1);
  EXPECT_EQ(call(46, 0, {"dial.scr", dir_ + "/dial.out"}), 1);
  EXPECT_EQ(call(50, 3, {"dial.scr"}), 1);
  EXPECT_EQ(call(50, 3, {"dial.scr"}), S(kNotFound));
  EXPECT_EQ(call(50, 2, {"welcome.cov"}), 1);
  EXPECT_EQ(call(45, 1, {dir_ + "/back.cov"}), S(kNotFound));
  // A server without a store directory refuses the file procedures.
  context_.data_dir.clear();
  EXPECT_EQ(call(45, 1, {dir_ + "/back.cov"}), S(kNoDataDir));
}

TEST_F(FilesTest, DraftsAreTheOwnersBlocks) {
  auto block = [](uint32_t id, const std::string& text, uint32_t length = 0) {
    std::vector<uint8_t> b(sizeof(DRAFT_HEADER) + text.size(), 0);
    DRAFT_HEADER h{length ? length : static_cast<uint32_t>(b.size()), id, 0, 7};
    std::memcpy(b.data(), &h, sizeof h);
    std::memcpy(b.data() + sizeof h, text.data(), text.size());
    return b;
  };
  auto put = [&](const std::string& user, uint16_t opnum, const std::vector<uint8_t>& b) {
    return Call(user, opnum, [&](rpc::ServerArgs& a) {
      a[2].number = static_cast<int32_t>(b.size());
      a[3].bytes = b;
    }).result;
  };
  auto get = [&](const std::string& user, uint32_t id) {
    return Call(user, 96, [&](rpc::ServerArgs& a) { a[2].number = static_cast<int32_t>(id); });
  };
  EXPECT_EQ(put("bob", 99, std::vector<uint8_t>(15, 0)), S(kBadRecord));
  EXPECT_EQ(put("bob", 99, block(0, "x", 99)), S(kBadRecord));  // length field disagrees
  EXPECT_EQ(put("bob", 99, block(0, "")), 1);
  EXPECT_EQ(put("bob", 99, block(0, "second draft")), 1);
  Reply all = get("bob", 0);
  ASSERT_EQ(all.result, 1);
  ASSERT_EQ(all.bytes(3).size(), 16u + 28u);
  EXPECT_EQ(all.args[2].number, 44);
  DRAFT_HEADER h;
  std::memcpy(&h, all.bytes(3).data() + 16, sizeof h);
  EXPECT_EQ(h.dwTime, static_cast<uint32_t>(clock_.now_ms / 1000));
  EXPECT_EQ(put("bob", 98, block(h.dwDraftID, "edited draft")), 1);
  EXPECT_EQ(LoadDraft(*store_, "bob", h.dwDraftID),
            std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{'e', 'd', 'i', 't', 'e', 'd', ' ', 'd', 'r', 'a', 'f', 't'}));
  EXPECT_EQ(LoadDraft(*store_, "carol", h.dwDraftID), std::nullopt);
  // Carol reaches none of it.
  EXPECT_EQ(get("carol", h.dwDraftID).result, S(kNotFound));
  EXPECT_FALSE(get("carol", 0).args[3].present);
  EXPECT_EQ(put("carol", 98, block(h.dwDraftID, "mine now")), S(kNotFound));
  EXPECT_EQ(Call("carol", 97, [&](rpc::ServerArgs& a) { a[2].number = int32_t(h.dwDraftID); }).result,
            S(kNotFound));
  EXPECT_EQ(Call("bob", 97, [&](rpc::ServerArgs& a) { a[2].number = int32_t(h.dwDraftID); }).result, 1);
  EXPECT_EQ(get("bob", h.dwDraftID).result, S(kNotFound));
}

TEST_F(FilesTest, ImportFilesWaitingFaxesIntoTheInbox) {
  std::string dir = context_.data_dir + "/import/bob";
  std::filesystem::create_directories(dir);
  WriteTiff(dir + "/a.tif", 1);
  WriteTiff(dir + "/b.tif", 2);
  { std::ofstream(dir + "/c.tif") << "junk"; }
  auto import = [&](int32_t type, int32_t byte, int32_t most) {
    return Call("bob", 89, [&](rpc::ServerArgs& a) {
      a[2].number = type;
      a[3].number = byte;
      a[3].bytes = {static_cast<uint8_t>(byte)};
      a[4].number = most;
    }).result;
  };
  for (auto [type, byte, most, expect] :
       {std::tuple{0, 0, 1, S(kBadArgument)}, {1, 2, 1, S(kBadArgument)}, {1, 0, 0, S(kBadArgument)},
        {1, 0, 101, S(kBadArgument)}, {1, 1, 1, S(kNotFound)} /* bob has no department */,
        {1, 0, 1, 1}})
    EXPECT_EQ(import(type, byte, most), expect) << type << " " << byte << " " << most;
  EXPECT_FALSE(std::filesystem::exists(dir + "/a.tif"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/b.tif"));
  EXPECT_EQ(import(1, 0, 100), 1);
  EXPECT_TRUE(std::filesystem::exists(dir + "/c.tif"));  // not a fax: left alone
  Reply views = Call("bob", 70, [&](rpc::ServerArgs& a) { a[2].text = "unread=1"; });
  std::vector<FAXVIEW_TABLE> v = Records<FAXVIEW_TABLE>(views.bytes(3));
  ASSERT_EQ(v.size(), 2u);
  EXPECT_STREQ(v[0].szSubject, "a");
  EXPECT_EQ(v[1].dwPages, 2u);
}

// The page fetch over the wire: the real stubs, ncalrpc and TCP.
TEST(FilesOverTheWire, PageFetchThroughTheStubs) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qzfiles.XXXXXX").string();
  std::string dir = mkdtemp(tmpl.data());
  setenv("QZRPC_LRPC_DIR", dir.c_str(), 1);
  DaemonOptions o;
  o.store.password_cost = PasswordCost::Minimal();
  o.store.os_user = LookUpOsUser(static_cast<uint32_t>(getuid())).value_or("");
  o.local_endpoint = "files-test";
  o.service.tcp_user = "admin";  // the TCP login is the administrator here
  o.data_dir = dir + "/data";
  std::filesystem::create_directories(o.data_dir);
  auto daemon = std::make_unique<Daemon>(o);
  std::string error;
  ASSERT_TRUE(daemon->Start(&error)) << error;
  WriteTiff(dir + "/in.tif", 2);
  ReceivedFax fax;
  fax.document_path = dir + "/in.tif";
  fax.pages = 2;
  ASSERT_TRUE(daemon->context().inbox->Deliver(fax, {Destination::Kind::kUser, "admin"}));

  for (const std::string& binding :
       {std::string("ncalrpc:[files-test]"),
        "ncacn_ip_tcp:127.0.0.1[" + std::to_string(daemon->tcp_port()) + "]"}) {
    rpc::BindingHandle h = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(binding, &h), 0u);
    SESSIONKEY key;
    std::vector<uint8_t> info(1680, 0);
    ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1) << binding;
    uint8_t* reply = nullptr;
    int32_t bytes = 0;
    ASSERT_EQ(ifc::rpcGetFaxViewRecord(h, &key, "", &reply, &bytes), 1);
    ASSERT_EQ(bytes, 84);
    uint32_t id;
    std::memcpy(&id, reply, 4);
    ifc::GetMemoryRoutines().release(reply);
    std::string out = dir + "/page.tif";
    int fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    int32_t rc = ifc::rpcGetOnePageFromServer(h, &key, static_cast<int32_t>(id | (1u << 24)), fd);
    ::close(fd);
    if (binding.rfind("ncalrpc", 0) == 0) {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(TiffPages(out), std::vector<int>{2});
    } else {
      EXPECT_EQ(rc, S(kNotLocal));
    }
    rpc::RpcBindingFree(&h);
  }
  daemon.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qz::faxd::testing
