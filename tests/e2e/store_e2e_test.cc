// store_e2e_test.cc -- the message store, users and files through the
// public library against a real qzfaxd: an administrator makes a
// department and two users; a received fax reaches B, who finds it among
// the new messages, reads it, marks it read, moves it, fetches its first
// page into a local file, keeps and edits a draft and sends a fax from a
// draft; B cannot read A's user
// record, A (an administrator) can. And a property test: random create,
// edit, move and delete through the library agree with a model.
//
// One OS account runs both sides, and ncalrpc logs it in as the user its
// account is mapped to; between the users' turns the test stops qzfaxd
// and maps the account to the next user in the database.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

// A self-sized user record of rpcUserOP.
USEROP_RECORD UserRecord(const std::string& id, const std::string& dept, uint32_t type,
                         uint32_t rights0, uint32_t rights3) {
  USEROP_RECORD r;
  std::memset(&r, 0, sizeof r);
  r.dwLength = sizeof r;
  Put(r.szUserID, id);
  Put(r.szDeptID, dept);
  Put(r.szUserName, id);
  r.dwUserType = type;
  r.dwRights[0] = rights0;
  r.dwRights[3] = rights3;
  return r;
}

// A fax document: `pages` G4 pages of fax width.
void WriteTiff(const std::string& path, int pages) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  for (int p = 0; p < pages; ++p) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728u);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 8u);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t{1});
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
    TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t{COMPRESSION_CCITTFAX4});
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t{PHOTOMETRIC_MINISWHITE});
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8u);
    uint8_t row[1728 / 8] = {static_cast<uint8_t>(p + 1)};
    for (uint32_t y = 0; y < 8; ++y) TIFFWriteScanline(t, row, y, 0);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

class StoreE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    std::string tmpl = (fs::temp_directory_path() / "qzstore-e2e.XXXXXX").string();
    data_ = fs::path(mkdtemp(tmpl.data()));
    Start();
    dir_ = fs::path(faxd_.directory()) / "client";
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    QZIfUninitialize();
    fs::current_path(old_cwd_);
    faxd_.Stop();
    fs::remove_all(data_);
  }
  void Start() {
    qz::test_support::FaxdProcess::Options o;
    o.extra_args = {"--data-dir", data_.string()};
    std::string error;
    ASSERT_TRUE(faxd_.Start(o, &error)) << error;
    faxd_.ApplyEnvironment();
  }
  // Logs the session out, maps this OS account to `user` and starts again.
  void BecomeUser(const std::string& user) {
    QZIfUninitialize();
    faxd_.Stop();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(faxd_.database().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE os_users SET user_id = ?", -1, &s, nullptr), SQLITE_OK);
    sqlite3_bind_text(s, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
    sqlite3_close(db);
    Start();
  }
  uint32_t LogIn(const char* expect_user) {
    EXPECT_EQ(QZIfInitialize(), 0u);
    uint32_t id = 0;
    EXPECT_EQ(LogInServer(&id), 1u);
    SERVERINFO info;
    EXPECT_EQ(GetServerInfo(id, &info), 1u);
    EXPECT_STREQ(info.UserInfo.szUserID, expect_user);
    return id;
  }
  FOLDERINFO_TABLE Folder(uint32_t id, uint32_t kind, uint32_t cls = QZ_FOLDER_PERSONAL) {
    FOLDERINFO_TABLE* f = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(RemoteGetFolders(id, kind, &f, &n), 1u);
    FOLDERINFO_TABLE found{};
    for (uint32_t i = 0; i < n; ++i)
      if (f[i].dwClass == cls) found = f[i];
    RDMemFree(f);
    EXPECT_NE(found.dwFolderID, 0u) << "kind " << kind;
    return found;
  }

  qz::test_support::FaxdProcess faxd_;
  fs::path dir_, old_cwd_, data_;
};

TEST_F(StoreE2E, ReceivedFaxReadMovedPagedAndDraftsAndRecords) {
  // The administrator: a department and two users, A an administrator.
  uint32_t id = LogIn("admin");
  DEPTINFO_TABLE sales;
  std::memset(&sales, 0, sizeof sales);
  Put(sales.szDeptID, "sales");
  Put(sales.szName, "Sales");
  ASSERT_EQ(RemoteDeptOP(id, 1, &sales, 1), 1u);
  USEROP_RECORD users[2] = {UserRecord("anna", "", 1, 0xFFFFFFFF, 0xFFFFFFFF),
                            UserRecord("bert", "sales", 0, 0x300, 0)};
  users[1].dwRights[2] = 0x60;  // submits faxes and views their own tasks
  ASSERT_EQ(RemoteUserOP(id, 1, users, 2), 1u);
  // A fax received for B waits in B's import directory.
  fs::path import = data_ / "import" / "bert";
  fs::create_directories(import);
  WriteTiff((import / "offer.tif").string(), 2);

  BecomeUser("bert");
  id = LogIn("bert");
  const char target = 0;  // B's own inbox
  ASSERT_EQ(RemoteImportFaxInfo(id, 1, &target, 1), 1u);
  FOLDERINFO_TABLE inbox = Folder(id, QZ_KIND_INBOX);
  RECVTASK_TABLE* fresh = nullptr;
  uint32_t count = 0;
  const uint32_t known[1] = {0};  // none known yet (the array itself must not be null)
  ASSERT_EQ(RemoteGetNewReceivedMessages(id, &inbox, known, 0, &fresh, &count), 1u);
  ASSERT_EQ(count, 1u);
  // The receive-task record: the message's ID at 0, the subject at 264.
  const uint8_t* detail = reinterpret_cast<const uint8_t*>(fresh);
  uint32_t fax;
  std::memcpy(&fax, detail, 4);
  EXPECT_STREQ(reinterpret_cast<const char*>(detail + 264), "offer");
  RDMemFree(fresh);

  FAXVIEW_TABLE* views = nullptr;
  ASSERT_EQ(RemoteGetFaxViewRecord(id, ("id=" + std::to_string(fax)).c_str(), &views, &count), 1u);
  ASSERT_EQ(count, 1u);
  FAXVIEW_TABLE message = views[0];
  RDMemFree(views);
  EXPECT_EQ(message.dwPages, 2u);
  EXPECT_EQ(message.dwFlags & QZ_FAXVIEW_READ, 0u);
  ASSERT_EQ(RemoteSetFaxViewFlag(id, fax, QZ_FAXVIEW_READ), 1u);
  views = nullptr;
  ASSERT_EQ(RemoteGetFaxViewRecord(id, "unread=1", &views, &count), 1u);
  EXPECT_EQ(count, 0u);
  RDMemFree(views);

  FOLDERINFO_TABLE archive = Folder(id, QZ_KIND_ARCHIVE);
  ASSERT_EQ(RemoteMoveInformation(id, &inbox, &archive, 3, &message, sizeof message), 1u);
  void* items = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(RemoteGetInformation(id, &archive, 3, &items, &size), 1u);
  ASSERT_EQ(size, sizeof(FAXVIEW_TABLE));
  EXPECT_EQ(static_cast<FAXVIEW_TABLE*>(items)->dwFaxID, fax);
  RDMemFree(items);

  // Page 1 into a local file: a one-page TIFF.
  std::string page = (dir_ / "page1.tif").string();
  ASSERT_EQ(RemoteGetOnePageFromServer(id, fax, page.c_str()), 1u);
  TIFF* t = TIFFOpen(page.c_str(), "r");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(TIFFNumberOfDirectories(t), 1);
  TIFFClose(t);

  // A fax job kept as a draft, edited (another recipient) and sent from
  // the server's copy: the queue gets the edited recipient and the
  // document's pages.
  const std::string doc = (dir_ / "quote.tif").string();
  WriteTiff(doc, 3);
  FAXJOB_TABLE job;
  std::memset(&job, 0, sizeof job);
  job.dwSize = sizeof job;
  Put(job.szRecipientNumber, "5550199");
  Put(job.szSubject, "quote");
  Put(job.szDocumentPath, doc);
  std::vector<uint8_t> draft(sizeof(DRAFT_HEADER) + sizeof job);
  DRAFT_HEADER h{static_cast<uint32_t>(draft.size()), 0, 0, 0};
  std::memcpy(draft.data(), &h, sizeof h);
  std::memcpy(draft.data() + sizeof h, &job, sizeof job);
  ASSERT_EQ(NewDraftInformation(id, draft.data(), static_cast<uint32_t>(draft.size())), 1u);
  void* got = nullptr;
  uint32_t got_size = 0;  // 0: every draft of the caller
  ASSERT_EQ(GetDraftInformation(id, &got, &got_size), 1u);
  ASSERT_EQ(got_size, draft.size());
  std::memcpy(&h, got, sizeof h);
  RDMemFree(got);
  std::memcpy(draft.data() + 4, &h.dwDraftID, 4);
  Put(job.szRecipientNumber, "5550142");
  std::memcpy(draft.data() + sizeof h, &job, sizeof job);
  ASSERT_EQ(EditDraftInformation(id, draft.data(), static_cast<uint32_t>(draft.size())), 1u);
  got = nullptr;
  got_size = h.dwDraftID;
  ASSERT_EQ(GetDraftInformation(id, &got, &got_size), 1u);
  ASSERT_EQ(got_size, draft.size());
  EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(got) + sizeof h, &job, sizeof job), 0);
  RDMemFree(got);
  ASSERT_EQ(SendFaxFromDraft(id, h.dwDraftID), 1u);
  SENDTASK_TABLE* tasks = nullptr;
  ASSERT_EQ(RemoteViewSendTask(id, 1, 0, &tasks, &count), 1u);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(tasks[0].szRecipientNumber, "5550142");
  EXPECT_STREQ(tasks[0].szUserID, "bert");
  EXPECT_EQ(tasks[0].dwPagesTotal, 3u);
  RDMemFree(tasks);

  // B reads their own record, not A's.
  void* record = nullptr;
  uint32_t bytes = 0;
  EXPECT_EQ(RemoteGetUserRecord(id, 0, nullptr, &record, &bytes), 1u);
  EXPECT_EQ(bytes, 972u);
  RDMemFree(record);
  record = nullptr;
  EXPECT_EQ(RemoteGetUserRecord(id, 0, "anna", &record, &bytes), QZ_E_ACCESSDENIED);
  RDMemFree(record);

  BecomeUser("anna");
  id = LogIn("anna");
  record = nullptr;
  ASSERT_EQ(RemoteGetUserRecord(id, 0, "bert", &record, &bytes), 1u);
  ASSERT_EQ(bytes, 972u);
  EXPECT_STREQ(static_cast<USERINFO_TABLE*>(record)->szUserID, "bert");
  RDMemFree(record);
}

// Random create, edit, move and delete of messages across the four
// message folders, checked against a model after every step: no item is
// lost, duplicated or changed behind the model's back.
TEST_F(StoreE2E, RandomOperationsAgreeWithAModel) {
  uint32_t id = LogIn("admin");
  std::vector<FOLDERINFO_TABLE> folders;
  for (uint32_t kind = QZ_KIND_INBOX; kind <= QZ_KIND_ARCHIVE; ++kind)
    folders.push_back(Folder(id, kind));
  std::map<uint32_t, std::pair<size_t, std::string>> model;  // id -> folder, subject
  std::mt19937 rng(20261209);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  auto any = [&] {
    auto it = model.begin();
    std::advance(it, static_cast<long>(pick(model.size())));
    return it;
  };
  auto record = [&](uint32_t fax, size_t folder, const std::string& subject) {
    FAXVIEW_TABLE v;
    std::memset(&v, 0, sizeof v);
    v.dwFaxID = fax;
    v.dwFolderID = folders[folder].dwFolderID;
    Put(v.szSubject, subject);
    return v;
  };
  for (int step = 0; step < 80; ++step) {
    int op = model.empty() ? 0 : static_cast<int>(pick(4));
    std::string subject = "s" + std::to_string(step);
    if (op == 0) {
      size_t f = pick(folders.size());
      FAXVIEW_TABLE v = record(0, f, subject);
      ASSERT_EQ(RemoteNewInformation(id, &folders[f], 3, &v, sizeof v), 1u);
      ASSERT_EQ(model.count(v.dwFaxID), 0u) << "identifier handed out twice";
      model[v.dwFaxID] = {f, subject};
    } else {
      auto it = any();
      size_t f = it->second.first;
      FAXVIEW_TABLE v = record(it->first, f, subject);
      if (op == 1) {
        ASSERT_EQ(RemoteEditInformation(id, &folders[f], 3, &v, sizeof v), 1u);
        it->second.second = subject;
      } else if (op == 2) {
        size_t to = (f + 1 + pick(folders.size() - 1)) % folders.size();
        ASSERT_EQ(RemoteMoveInformation(id, &folders[f], &folders[to], 3, &v, sizeof v), 1u);
        it->second.first = to;
      } else {
        ASSERT_EQ(RemoteDeleteInformation(id, &folders[f], 3, &v, sizeof v), 1u);
        uint32_t gone = it->first;
        model.erase(it);
        // The same identifier once more: the server has no such item.
        EXPECT_NE(RemoteDeleteInformation(id, &folders[f], 3, &v, sizeof v), 1u);
        (void)gone;
      }
    }
    for (size_t f = 0; f < folders.size(); ++f) {
      void* items = nullptr;
      uint32_t size = 0;
      ASSERT_EQ(RemoteGetInformation(id, &folders[f], 3, &items, &size), 1u);
      std::map<uint32_t, std::string> seen;
      for (uint32_t off = 0; off + sizeof(FAXVIEW_TABLE) <= size; off += sizeof(FAXVIEW_TABLE)) {
        FAXVIEW_TABLE v;
        std::memcpy(&v, static_cast<uint8_t*>(items) + off, sizeof v);
        EXPECT_EQ(v.dwFolderID, folders[f].dwFolderID);
        EXPECT_TRUE(seen.emplace(v.dwFaxID, v.szSubject).second) << "duplicate " << v.dwFaxID;
      }
      RDMemFree(items);
      std::map<uint32_t, std::string> expect;
      for (const auto& [fax, where] : model)
        if (where.first == f) expect[fax] = where.second;
      ASSERT_EQ(seen, expect) << "step " << step << " folder kind " << folders[f].dwKind;
    }
  }
}

}  // namespace
