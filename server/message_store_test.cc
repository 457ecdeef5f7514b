// message_store_test.cc -- the message store through FaxService: items of
// every kind, folder rights row by row, ownership, block bounds, received
// faxes, fax views, conditions, relations and the address book.
#include "server/message_store.h"

#include "server/store_fixture.h"

namespace qz::faxd::testing {
namespace {

using MessageStoreTest = StoreFixture;

std::vector<uint8_t> Item(size_t size, size_t name_off, const std::string& name) {
  std::vector<uint8_t> b(size, 0);
  std::memcpy(b.data() + name_off, name.data(), name.size());
  return b;
}

TEST_F(MessageStoreTest, ItemsOfEveryKindAreMadeListedEditedAndDeleted) {
  SetRights("bob", {0xFFFFFFFF, 0, 0, 0});
  struct Case {
    int32_t code;
    size_t size;
    uint32_t kind;
    size_t name_off;
  };
  const Case cases[] = {
      {QZ_ITEM_MESSAGE, 84, QZ_KIND_ARCHIVE, 56}, {QZ_ITEM_ADDRESS, 192, QZ_KIND_ADDRESSBOOK, 8},
      {QZ_ITEM_GROUP, 128, QZ_KIND_ADDRESSBOOK, 8}, {QZ_ITEM_NOTE, 256, QZ_KIND_NOTES, 12},
      {QZ_ITEM_COVERPAGE, 64, QZ_KIND_TEMPLATES, 12}, {QZ_ITEM_DOCUMENT, 64, QZ_KIND_TEMPLATES, 16},
      {QZ_ITEM_SCHEDULE, 128, QZ_KIND_SCHEDULE, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    FOLDERINFO_TABLE f = Folder("bob", c.kind);
    // Two records in one block: both get identifiers, returned in place.
    std::vector<uint8_t> two = Item(c.size, c.name_off, "first");
    std::vector<uint8_t> second = Item(c.size, c.name_off, "second");
    two.insert(two.end(), second.begin(), second.end());
    Reply made = NewItems("bob", c.code, f, two);
    ASSERT_EQ(made.result, 1);
    uint32_t id1, id2, folder;
    std::memcpy(&id1, made.bytes(5).data(), 4);
    std::memcpy(&id2, made.bytes(5).data() + c.size, 4);
    std::memcpy(&folder, made.bytes(5).data() + 4, 4);
    EXPECT_NE(id1, 0u);
    EXPECT_EQ(id2, id1 + 1);
    EXPECT_EQ(folder, f.dwFolderID);

    Reply listed = GetItems("bob", c.code, f, "name=second");
    ASSERT_EQ(listed.result, 1);
    ASSERT_EQ(listed.bytes(5).size(), c.size);
    EXPECT_EQ(std::memcmp(listed.bytes(5).data(), made.bytes(5).data() + c.size, c.size), 0);

    std::vector<uint8_t> edited(made.bytes(5).begin(), made.bytes(5).begin() + c.size);
    std::memcpy(edited.data() + c.name_off, "renamed", 8);
    EXPECT_EQ(Call("bob", 27, [&](rpc::ServerArgs& a) {
                a[2].number = c.code;
                a[3].bytes = Bytes(f);
                a[4].number = 104;
                a[5].bytes = edited;
                a[6].number = static_cast<int32_t>(c.size);
              }).result, 1);
    EXPECT_EQ(GetItems("bob", c.code, f, "name=renamed").bytes(5).size(), c.size);

    Reply gone = Call("bob", 28, [&](rpc::ServerArgs& a) {
      a[2].number = c.code;
      a[3].bytes = Bytes(f);
      a[4].number = 104;
      a[5].bytes = made.bytes(5);
      a[6].number = static_cast<int32_t>(made.bytes(5).size());
    });
    EXPECT_EQ(gone.result, 1);
    Reply empty = GetItems("bob", c.code, f);
    EXPECT_EQ(empty.result, 1);
    EXPECT_FALSE(empty.args[5].present);
    EXPECT_EQ(empty.args[6].number, 0);
    // The same item in a folder of another kind is refused.
    FOLDERINFO_TABLE other = Folder("bob", c.kind == QZ_KIND_SCHEDULE ? QZ_KIND_NOTES : QZ_KIND_SCHEDULE);
    EXPECT_EQ(NewItems("bob", c.code, other, Item(c.size, c.name_off, "x")).result,
              S(kWrongItemKind));
  }
}

TEST_F(MessageStoreTest, FolderRightsOneBitPresentOneMissing) {
  struct Case {
    uint32_t rights0;
    int32_t code;
    uint32_t kind;
    size_t size;
    int32_t create, list;
  };
  const Case cases[] = {
      // Messages: column 0; row 0 (list) 0x200, row 1 (create) 0x100.
      {0x200, QZ_ITEM_MESSAGE, QZ_KIND_ARCHIVE, 84, S(kAccessDenied), 1},
      {0x100, QZ_ITEM_MESSAGE, QZ_KIND_ARCHIVE, 84, 1, S(kAccessDenied)},
      // Notes: column 5; listing tests no bit, creating needs 0x8000.
      {0x0, QZ_ITEM_NOTE, QZ_KIND_NOTES, 256, S(kAccessDenied), 1},
      {0x8000, QZ_ITEM_NOTE, QZ_KIND_NOTES, 256, 1, 1},
      // Groups: column 1; 0x1000 creates, 0x800 lists.
      {0x1000, QZ_ITEM_GROUP, QZ_KIND_ADDRESSBOOK, 128, 1, S(kAccessDenied)},
      {0x800, QZ_ITEM_GROUP, QZ_KIND_ADDRESSBOOK, 128, S(kAccessDenied), 1},
      // Cover-page entries: column 2, 0x4 creates (0x3 lists: both bits).
      {0x4 | 0x1, QZ_ITEM_COVERPAGE, QZ_KIND_TEMPLATES, 64, 1, S(kAccessDenied)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code << " rights " << std::hex << c.rights0);
    SetRights("bob", {c.rights0, 0, 0, 0});
    FOLDERINFO_TABLE f = Folder("bob", c.kind);
    EXPECT_EQ(NewItems("bob", c.code, f, std::vector<uint8_t>(c.size, 0)).result, c.create);
    EXPECT_EQ(GetItems("bob", c.code, f).result, c.list);
  }
  // Moving needs the change right on both folders: public folders are
  // class 2 (dwRights[2]).
  SetRights("bob", {0x300, 0, 0x1000, 0});
  FOLDERINFO_TABLE archive = Folder("bob", QZ_KIND_ARCHIVE);
  FOLDERINFO_TABLE pub = Folder("bob", QZ_KIND_INBOX, QZ_FOLDER_PUBLIC);
  Reply made = NewItems("bob", QZ_ITEM_MESSAGE, archive, std::vector<uint8_t>(84, 0));
  auto move = [&] {
    return Call("bob", 29, [&](rpc::ServerArgs& a) {
      a[2].number = QZ_ITEM_MESSAGE;
      a[3].bytes = Bytes(archive);
      a[4].number = 104;
      a[5].bytes = made.bytes(5);
      a[6].number = 84;
      a[7].bytes = Bytes(pub);
      a[8].number = 104;
    }).result;
  };
  EXPECT_EQ(move(), S(kAccessDenied));
  SetRights("bob", {0x300, 0, 0x800, 0});
  EXPECT_EQ(move(), 1);
}

TEST_F(MessageStoreTest, FoldersAndBlocksAreChecked) {
  FOLDERINFO_TABLE bobs = Folder("bob", QZ_KIND_ARCHIVE);
  // Another user's folder does not exist for carol; a record whose class
  // or kind disagrees with the server's is no folder either.
  EXPECT_EQ(NewItems("carol", QZ_ITEM_MESSAGE, bobs, std::vector<uint8_t>(84, 0)).result,
            S(kNoSuchFolder));
  FOLDERINFO_TABLE wrong = bobs;
  wrong.dwClass = QZ_FOLDER_PUBLIC;
  EXPECT_EQ(GetItems("bob", QZ_ITEM_MESSAGE, wrong).result, S(kNoSuchFolder));
  wrong = bobs;
  wrong.dwKind = QZ_KIND_INBOX;
  EXPECT_EQ(GetItems("bob", QZ_ITEM_MESSAGE, wrong).result, S(kNoSuchFolder));
  // Item codes 1..8 exist; blocks hold whole records.
  struct Case {
    int32_t code;
    size_t bytes;
    int32_t expect;
  };
  const Case cases[] = {
      {0, 84, S(kBadArgument)}, {9, 84, S(kBadArgument)}, {QZ_ITEM_MESSAGE, 0, S(kBadRecord)},
      {QZ_ITEM_MESSAGE, 83, S(kBadRecord)}, {QZ_ITEM_MESSAGE, 84, 1},
      {QZ_ITEM_MESSAGE, 85, S(kBadRecord)}, {QZ_ITEM_MESSAGE, 168, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NewItems("bob", c.code, bobs, std::vector<uint8_t>(c.bytes, 0)).result, c.expect)
        << c.code << " " << c.bytes;
  // A text field without its NUL is not a valid record; a block refused
  // half way makes nothing and hands out no identifier.
  std::vector<uint8_t> half(84, 0);
  half.resize(168, 'x');
  size_t before = GetItems("bob", QZ_ITEM_MESSAGE, bobs).bytes(5).size();
  Reply refused = NewItems("bob", QZ_ITEM_MESSAGE, bobs, half);
  EXPECT_EQ(refused.result, S(kBadRecord));
  EXPECT_EQ(refused.bytes(5), half);
  EXPECT_EQ(GetItems("bob", QZ_ITEM_MESSAGE, bobs).bytes(5).size(), before);
  // Folder kinds 1..8.
  for (auto [kind, expect] : {std::pair{0, S(kBadArgument)}, {1, 1}, {8, 1}, {9, S(kBadArgument)}})
    EXPECT_EQ(Call("bob", 76, [&](rpc::ServerArgs& a) { a[2].number = kind; }).result, expect)
        << kind;
}

TEST_F(MessageStoreTest, ReceivedFaxIsNewUntilAcknowledgedAndFlagsShowInFaxViews) {
  uint32_t id = Inject("bob", 2, "quarterly");
  ASSERT_NE(id, 0u);
  FOLDERINFO_TABLE inbox = Folder("bob", QZ_KIND_INBOX);
  EXPECT_EQ(inbox.dwUnread, 1u);
  auto fresh = [&](std::vector<uint8_t> ids) {
    Reply r = Call("bob", 84, [&](rpc::ServerArgs& a) {
      a[2].bytes = Bytes(inbox);
      a[3].number = 104;
      a[5].number = static_cast<int32_t>(ids.size());
      a[4].bytes = ids;
    });
    EXPECT_EQ(r.result, 1);
    return r.bytes(6);
  };
  std::vector<uint8_t> detail = fresh({});
  ASSERT_EQ(detail.size(), size_t{QZ_SIZEOF_RECVTASK_TABLE});
  uint32_t fax_id, pages;
  std::memcpy(&fax_id, detail.data(), 4);
  std::memcpy(&pages, detail.data() + 12, 4);
  EXPECT_EQ(fax_id, id);
  EXPECT_EQ(pages, 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(detail.data() + 264), "quarterly");
  EXPECT_STREQ(reinterpret_cast<const char*>(detail.data() + 392), "user bob");
  // Carol neither sees nor flags bob's message.
  EXPECT_EQ(Call("carol", 77, [&](rpc::ServerArgs& a) { a[2].number = 1; a[3].number = int32_t(id); })
                .result, S(kNotFound));
  auto views = [&](const std::string& cond) {
    Reply r = Call("bob", 70, [&](rpc::ServerArgs& a) { a[2].text = cond; });
    EXPECT_EQ(r.result, 1) << cond;
    return Records<FAXVIEW_TABLE>(r.bytes(3));
  };
  ASSERT_EQ(views("unread=1").size(), 1u);
  for (auto [flag, expect] : {std::pair{0x10, S(kBadArgument)}, {-1, S(kBadArgument)}, {0xF, 1},
                              {QZ_FAXVIEW_READ, 1}})
    EXPECT_EQ(Call("bob", 77, [&](rpc::ServerArgs& a) { a[2].number = flag; a[3].number = int32_t(id); })
                  .result, expect) << flag;
  EXPECT_TRUE(views("unread=1").empty());
  std::vector<FAXVIEW_TABLE> read = views("unread=0; direction=0");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].dwFlags, QZ_FAXVIEW_READ);
  EXPECT_STREQ(read[0].szRemote, "5550100");
  // Marking it read took it off the new list; so does acknowledging.
  EXPECT_TRUE(fresh({}).empty());
  uint32_t id2 = Inject("bob", 1);
  std::vector<uint8_t> ack(4);
  std::memcpy(ack.data(), &id2, 4);
  EXPECT_EQ(fresh({}).size(), size_t{QZ_SIZEOF_RECVTASK_TABLE});
  EXPECT_TRUE(fresh(ack).empty());
  // An identifier list that is not whole words is refused.
  EXPECT_EQ(Call("bob", 84, [&](rpc::ServerArgs& a) {
              a[2].bytes = Bytes(inbox);
              a[3].number = 104;
              a[4].bytes = {1, 2, 3};
              a[5].number = 3;
            }).result, S(kBadRecord));
  // Deleting by condition removes the message and its document.
  EXPECT_EQ(Call("bob", 69, [&](rpc::ServerArgs& a) { a[2].text = ""; }).result, S(kBadCondition));
  std::string doc = context_.data_dir + "/messages/" + std::to_string(id) + ".tif";
  EXPECT_TRUE(std::filesystem::exists(doc));
  EXPECT_EQ(Call("bob", 69, [&](rpc::ServerArgs& a) { a[2].text = "id=" + std::to_string(id); })
                .result, 1);
  EXPECT_FALSE(std::filesystem::exists(doc));
  EXPECT_EQ(views("").size(), 1u);
}

TEST_F(MessageStoreTest, ConditionsAreFieldsOrRefused) {
  SetRights("bob", {0xFFFFFFFF, 0, 0, 0});
  FOLDERINFO_TABLE f = Folder("bob", QZ_KIND_ADDRESSBOOK);
  ASSERT_EQ(NewItems("bob", QZ_ITEM_ADDRESS, f, Item(192, 8, "o'brien")).result, 1);
  struct Case {
    const char* where;
    int32_t result;
    size_t records;
  };
  const Case cases[] = {
      {"", 1, 1}, {"name=o'brien", 1, 1}, {"name=x' OR '1'='1", 1, 0}, {"name=o'brien;id=0", 1, 0},
      {"nome=x", S(kBadCondition), 0}, {"name", S(kBadCondition), 0},
      {"id=4294967296", S(kBadCondition), 0}, {"id=1;id=1", S(kBadCondition), 0},
  };
  for (const Case& c : cases) {
    Reply r = GetItems("bob", QZ_ITEM_ADDRESS, f, c.where);
    EXPECT_EQ(r.result, c.result) << c.where;
    EXPECT_EQ(r.bytes(5).size(), c.records * 192) << c.where;
  }
}

TEST_F(MessageStoreTest, RelationsJoinEntriesAndGroupsAndGoWithThem) {
  SetRights("bob", {0xFFFFFFFF, 0, 0, 0});
  FOLDERINFO_TABLE book = Folder("bob", QZ_KIND_ADDRESSBOOK);
  Reply entry = NewItems("bob", QZ_ITEM_ADDRESS, book, Item(192, 8, "ann"));
  Reply group = Call("bob", 42, [&](rpc::ServerArgs& a) {
    a[2].number = 1;
    a[3].bytes = Bytes(book);
    a[4].number = 104;
    a[5].bytes = Item(128, 8, "friends");
    a[6].number = 128;
  });
  ASSERT_EQ(entry.result, 1);
  ASSERT_EQ(group.result, 1);
  uint32_t a_id, g_id = 0;
  std::memcpy(&a_id, entry.bytes(5).data(), 4);
  // rpcKind5InformationOP's block is in only: find the group's ID by listing.
  Reply groups = Call("bob", 40, [&](rpc::ServerArgs& a) { a[2].bytes = Bytes(book); a[3].number = 104; });
  ASSERT_EQ(groups.bytes(4).size(), 128u);
  std::memcpy(&g_id, groups.bytes(4).data(), 4);
  ADDRRELATION_TABLE rel{a_id, g_id};
  EXPECT_EQ(NewItems("bob", QZ_ITEM_RELATION, book, Bytes(rel)).result, 1);
  EXPECT_EQ(NewItems("bob", QZ_ITEM_RELATION, book, Bytes(rel)).result, S(kExists));
  EXPECT_EQ(NewItems("bob", QZ_ITEM_RELATION, book, Bytes(ADDRRELATION_TABLE{a_id, a_id})).result,
            S(kNotFound));
  auto select = [&](const std::string& user, ADDRRELATION_TABLE sel) {
    return Call(user, 30, [&](rpc::ServerArgs& a) {
      a[2].number = QZ_ITEM_RELATION;
      a[3].bytes = Bytes(sel);
      a[4].number = 8;
    });
  };
  EXPECT_EQ(select("bob", {a_id, 0}).bytes(5), Bytes(rel));
  EXPECT_EQ(select("bob", {0, g_id}).bytes(5), Bytes(rel));
  EXPECT_EQ(select("bob", {0, 0}).result, S(kBadArgument));
  EXPECT_TRUE(select("carol", {a_id, 0}).bytes(5).empty());
  Reply book_ex = Call("bob", 75, [&](rpc::ServerArgs& a) { a[2].text = "bob"; });
  ASSERT_EQ(book_ex.result, 1);
  ASSERT_EQ(book_ex.bytes(3).size(), 16u + 192 + 128 + 8);
  ADDRESSBOOK_HEADER h;
  std::memcpy(&h, book_ex.bytes(3).data(), 16);
  EXPECT_EQ(h.dwAddressCount, 1u);
  EXPECT_EQ(h.dwGroupCount, 1u);
  EXPECT_EQ(h.dwRelationCount, 1u);
  EXPECT_EQ(Call("bob", 74, [&](rpc::ServerArgs& a) { a[2].text = "bob"; }).bytes(3).size(), 192u);
  EXPECT_EQ(Call("carol", 74, [&](rpc::ServerArgs& a) { a[2].text = "bob"; }).result,
            S(kAccessDenied));
  // Deleting the group takes its relations along.
  EXPECT_EQ(Call("bob", 42, [&](rpc::ServerArgs& a) {
              a[2].number = 3;
              a[3].bytes = Bytes(book);
              a[4].number = 104;
              a[5].bytes = groups.bytes(4);
              a[6].number = 128;
            }).result, 1);
  EXPECT_TRUE(select("bob", {a_id, 0}).bytes(5).empty());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM store_relations"), 0);
}

}  // namespace
}  // namespace qz::faxd::testing
