// message_store.cc -- folders, items, fax views, address book, new
// received messages.
#include "server/message_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <system_error>

#include "server/condition.h"
#include "server/sql.h"

namespace qz::faxd {

const SchemaPart kMessageStoreSchema = {
    "message_store",
    {{1, R"sql(
CREATE TABLE store_folders (
  id        INTEGER PRIMARY KEY,
  class     INTEGER NOT NULL,
  owner     TEXT NOT NULL,
  kind      INTEGER NOT NULL,
  name      TEXT NOT NULL,
  parent_id INTEGER NOT NULL DEFAULT 0,
  flags     INTEGER NOT NULL DEFAULT 0,
  UNIQUE(class, owner, kind, name)
);
CREATE TABLE store_items (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  code        INTEGER NOT NULL,
  folder_id   INTEGER NOT NULL REFERENCES store_folders(id),
  record      BLOB NOT NULL,
  name        TEXT NOT NULL DEFAULT '',
  number      TEXT NOT NULL DEFAULT '',
  flags       INTEGER NOT NULL DEFAULT 0,
  time        INTEGER NOT NULL DEFAULT 0,
  direction   INTEGER NOT NULL DEFAULT 2,
  pages       INTEGER NOT NULL DEFAULT 0,
  document    TEXT NOT NULL DEFAULT '',
  is_new      INTEGER NOT NULL DEFAULT 0,
  recv_task   INTEGER NOT NULL DEFAULT 0,
  line_id     INTEGER NOT NULL DEFAULT 0,
  line_number TEXT NOT NULL DEFAULT '',
  sender_user TEXT NOT NULL DEFAULT '',
  recipient   TEXT NOT NULL DEFAULT ''
);
CREATE INDEX store_items_folder ON store_items(folder_id, code);
CREATE TABLE store_relations (
  address_id INTEGER NOT NULL REFERENCES store_items(id) ON DELETE CASCADE,
  group_id   INTEGER NOT NULL REFERENCES store_items(id) ON DELETE CASCADE,
  PRIMARY KEY(address_id, group_id)
);
INSERT INTO store_folders(class, owner, kind, name, flags) VALUES
  (2, '', 1, 'Public inbox', 1),
  (2, '', 5, 'Public address book', 1),
  (2, '', 7, 'Public templates', 1);
)sql"}}};

namespace {

// Rights bit of dwRights[class] for folder class, access row (0 read,
// 1 change, 2 unused) and rights column; the same table the client library
// checks before it calls.
constexpr uint32_t kFolderRights[3][3][7] = {
    {{0x200, 0x800, 0x3, 0x40, 0x20000, 0x10000, 0},
     {0x100, 0x1000, 0x4, 0x20, 0x20000, 0x8000, 0},
     {0x400, 0x8, 0x8, 0, 0x20000, 0x8, 0}},
    {{0x40, 0x100, 0x3, 0, 0x4000, 0x2000, 0},
     {0x20, 0x200, 0x4, 0, 0x4000, 0x1000, 0},
     {0x80, 0x8, 0x8, 0, 0x4000, 0x8, 0}},
    {{0x1000, 0x8000, 0x3, 0x200, 0xFFFFFFFF, 0x80000, 0},
     {0x800, 0x4000, 0x4, 0x100, 0xFFFFFFFF, 0x40000, 0},
     {0x2000, 0x8, 0x8, 0, 0xFFFFFFFF, 0x8, 0}},
};
constexpr int kRead = 0;
constexpr int kChange = 1;

constexpr const char* kPersonalFolderNames[9] = {
    "", "Inbox", "Sent", "Drafts", "Archive", "Address book", "Notes", "Templates", "Schedule"};

// One item code: its record, rights column, the folder kinds that hold it,
// and which record fields fill the searchable columns (-1: none).
struct ItemKind {
  int code;
  size_t size;
  int column;
  uint32_t kinds;  // bit k: folder kind k
  int name_off, name_width, number_off, number_width, flags_off, time_off;
  bool rights_free;  // listing, editing and deleting test no rights bit
};
constexpr uint32_t K(int k) { return 1u << k; }
constexpr ItemKind kItemKinds[] = {
    {QZ_ITEM_MESSAGE, sizeof(FAXVIEW_TABLE), 0,
     K(QZ_KIND_INBOX) | K(QZ_KIND_SENT) | K(QZ_KIND_DRAFTS) | K(QZ_KIND_ARCHIVE), 56, 28, 24, 32,
     8, 20, false},
    {QZ_ITEM_ADDRESS, sizeof(ADDRESS_ITEM), 0, K(QZ_KIND_ADDRESSBOOK), 8, 40, 48, 32, -1, -1,
     false},
    {QZ_ITEM_RELATION, sizeof(ADDRRELATION_TABLE), 0, K(QZ_KIND_ADDRESSBOOK), -1, 0, -1, 0, -1,
     -1, false},
    {QZ_ITEM_GROUP, sizeof(GROUP_ITEM), 1, K(QZ_KIND_ADDRESSBOOK), 8, 40, -1, 0, -1, -1, false},
    {QZ_ITEM_NOTE, sizeof(NOTE_ITEM), 5, K(QZ_KIND_NOTES), 12, 52, -1, 0, -1, 8, true},
    {QZ_ITEM_COVERPAGE, sizeof(COVERPAGE_ITEM), 2, K(QZ_KIND_TEMPLATES), 12, 52, -1, 0, -1, -1,
     false},
    {QZ_ITEM_DOCUMENT, sizeof(DOCUMENT_ITEM), 2, K(QZ_KIND_TEMPLATES), 16, 48, -1, 0, -1, -1,
     false},
    {QZ_ITEM_SCHEDULE, sizeof(SCHEDULE_ITEM), 3, K(QZ_KIND_SCHEDULE), 16, 112, -1, 0, 12, 8,
     false},
};
const ItemKind* FindKind(int32_t code) {
  for (const ItemKind& k : kItemKinds)
    if (k.code == code) return &k;
  return nullptr;
}

// Condition fields of items and fax views (every item code has the same
// columns; those a code does not fill are '' or 0).
using T = ConditionField::Type;
constexpr int64_t kU32Max = 0xFFFFFFFF;
const ConditionField kItemFields[] = {
    {"id", "i.id = ?", T::kNumber, 0, kU32Max},
    {"folder", "i.folder_id = ?", T::kNumber, 0, kU32Max},
    {"name", "i.name = ?", T::kText, 0, 127},
    {"number", "i.number = ?", T::kText, 0, 63},
    {"flags", "i.flags = ?", T::kNumber, 0, kU32Max},
    {"unread", "((i.flags & 1) = 0) = ?", T::kNumber, 0, 1},
    {"direction", "i.direction = ?", T::kNumber, 0, 2},
    {"since", "i.time >= ?", T::kNumber, 0, kU32Max},
    {"until", "i.time < ?", T::kNumber, 0, kU32Max},
};

// Appends a number to the values of a statement (emplaced: GCC 12 warns
// falsely about copies of the variant).
void AddInt(std::vector<Param>* params, int64_t v) {
  params->emplace_back(std::in_place_type<int64_t>, v);
}

uint32_t U32(const std::vector<uint8_t>& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}
void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) { std::memcpy(b.data() + off, &v, 4); }

struct Folder {
  int64_t id = 0;
  int cls = 0;
  std::string owner;
  int kind = 0;
  std::string name;
  int64_t parent = 0;
  int64_t flags = 0;
};

std::optional<Folder> LoadFolder(sqlite3* db, int64_t id) {
  Stmt s(db, "SELECT id, class, owner, kind, name, parent_id, flags FROM store_folders WHERE id = ?");
  if (!s.Bind(1, id) || s.Step() != SQLITE_ROW) return std::nullopt;
  Folder f;
  f.id = s.Int(0);
  f.cls = static_cast<int>(s.Int(1));
  f.owner = s.Text(2);
  f.kind = static_cast<int>(s.Int(3));
  f.name = s.Text(4);
  f.parent = s.Int(5);
  f.flags = s.Int(6);
  return f;
}

std::string Department(sqlite3* db, const std::string& user) {
  Stmt s(db, "SELECT dept_id FROM users WHERE id = ?");
  return s.Bind(1, std::string_view(user)) && s.Step() == SQLITE_ROW ? s.Text(0) : std::string();
}

bool Visible(const Call& call, const std::string& dept, const Folder& f) {
  switch (f.cls) {
    case QZ_FOLDER_PERSONAL: return f.owner == call.user().id;
    case QZ_FOLDER_DEPARTMENT: return (!dept.empty() && f.owner == dept) || call.IsAdministrator();
    case QZ_FOLDER_PUBLIC: return true;
    default: return false;
  }
}

bool HasRight(const Call& call, int cls, int row, int column) {
  uint32_t bit = kFolderRights[cls][row][column];
  return bit != 0 && (call.user().rights[static_cast<size_t>(cls)] & bit) == bit;
}

// The folder a block names: the block must be one FOLDERINFO_TABLE whose
// identifier names a folder the caller sees, of the class and kind the
// server holds for it.
int32_t ResolveFolder(sqlite3* db, Call& call, const rpc::ServerValue& block,
                      const rpc::ServerValue& size, Folder* out) {
  if (size.number != QZ_SIZEOF_FOLDERINFO_TABLE || block.bytes.size() != sizeof(FOLDERINFO_TABLE))
    return call.Fail(kBadRecord, "folder record size " + std::to_string(size.number));
  FOLDERINFO_TABLE rec = RecordAt<FOLDERINFO_TABLE>(block.bytes, 0);
  std::optional<Folder> f = LoadFolder(db, rec.dwFolderID);
  if (!f || !Visible(call, Department(db, call.user().id), *f) ||
      static_cast<uint32_t>(f->cls) != rec.dwClass || static_cast<uint32_t>(f->kind) != rec.dwKind)
    return call.Fail(kNoSuchFolder, "no folder " + std::to_string(rec.dwFolderID));
  *out = std::move(*f);
  return kOk;
}

int32_t RequireFolderRight(Call& call, const Folder& f, int row, const ItemKind& kind) {
  if (HasRight(call, f.cls, row, kind.column)) return kOk;
  return call.Fail(kAccessDenied, "access denied to folder " + std::to_string(f.id));
}

// Searchable columns of an item record; false when one of its texts has
// no NUL within its field.
struct Columns {
  std::string name, number;
  int64_t flags = 0, time = 0;
};
bool ExtractColumns(const ItemKind& k, const uint8_t* rec, Columns* c) {
  if (k.name_off >= 0 &&
      !FieldText(reinterpret_cast<const char*>(rec) + k.name_off, k.name_width, &c->name))
    return false;
  if (k.number_off >= 0 &&
      !FieldText(reinterpret_cast<const char*>(rec) + k.number_off, k.number_width, &c->number))
    return false;
  uint32_t v;
  if (k.flags_off >= 0) std::memcpy(&v, rec + k.flags_off, 4), c->flags = v;
  if (k.time_off >= 0) std::memcpy(&v, rec + k.time_off, 4), c->time = v;
  return true;
}

struct StoredItem {
  int64_t id = 0;
  int64_t folder = 0;
  std::vector<uint8_t> record;
  std::string document;
};
std::optional<StoredItem> LoadItem(sqlite3* db, int64_t id, int64_t folder, int code) {
  Stmt s(db, "SELECT id, folder_id, record, document FROM store_items WHERE id = ? AND "
             "folder_id = ? AND code = ?");
  if (!s.Bind(1, id) || !s.Bind(2, folder) || !s.Bind(3, int64_t{code}) || s.Step() != SQLITE_ROW)
    return std::nullopt;
  return StoredItem{s.Int(0), s.Int(1), s.Blob(2), s.Text(3)};
}

bool InsertItem(sqlite3* db, const ItemKind& k, int64_t folder, std::vector<uint8_t>& rec,
                const Columns& c, int64_t direction, int64_t* id) {
  Stmt s(db, "INSERT INTO store_items(code, folder_id, record, name, number, flags, time, "
             "direction) VALUES(?, ?, x'', ?, ?, ?, ?, ?)");
  if (!s.Bind(1, int64_t{k.code}) || !s.Bind(2, folder) || !s.Bind(3, std::string_view(c.name)) ||
      !s.Bind(4, std::string_view(c.number)) || !s.Bind(5, c.flags) || !s.Bind(6, c.time) ||
      !s.Bind(7, direction) || s.Step() != SQLITE_DONE)
    return false;
  *id = sqlite3_last_insert_rowid(db);
  PutU32(rec, 0, static_cast<uint32_t>(*id));
  PutU32(rec, 4, static_cast<uint32_t>(folder));
  Stmt u(db, "UPDATE store_items SET record = ? WHERE id = ?");
  return u.BindBlob(1, rec) && u.Bind(2, *id) && u.Step() == SQLITE_DONE;
}

bool UpdateItem(sqlite3* db, int64_t id, const std::vector<uint8_t>& rec, const Columns& c) {
  Stmt s(db, "UPDATE store_items SET record = ?, name = ?, number = ?, flags = ?, time = ? "
             "WHERE id = ?");
  return s.BindBlob(1, rec) && s.Bind(2, std::string_view(c.name)) &&
         s.Bind(3, std::string_view(c.number)) && s.Bind(4, c.flags) && s.Bind(5, c.time) &&
         s.Bind(6, id) && s.Step() == SQLITE_DONE;
}

// Sets a message's flags in its column and its record.
bool SetMessageFlags(sqlite3* db, int64_t id, uint32_t flags) {
  Stmt q(db, "SELECT record FROM store_items WHERE id = ? AND code = 1");
  if (!q.Bind(1, id) || q.Step() != SQLITE_ROW) return false;
  std::vector<uint8_t> rec = q.Blob(0);
  if (rec.size() != sizeof(FAXVIEW_TABLE)) return false;
  PutU32(rec, offsetof(FAXVIEW_TABLE, dwFlags), flags);
  Stmt u(db, "UPDATE store_items SET record = ?, flags = ?, is_new = CASE WHEN ? & 1 THEN 0 "
             "ELSE is_new END WHERE id = ?");
  return u.BindBlob(1, rec) && u.Bind(2, int64_t{flags}) && u.Bind(3, int64_t{flags}) &&
         u.Bind(4, id) && u.Step() == SQLITE_DONE;
}

bool DeleteItem(sqlite3* db, int64_t id) {
  Stmt s(db, "DELETE FROM store_items WHERE id = ?");
  return s.Bind(1, id) && s.Step() == SQLITE_DONE;
}

// The folder ids (as a fixed sub-select with parameters) of the folders
// the caller sees and holds the right of `row` in `column` for.
std::string VisibleFolders(const Call& call, const std::string& dept, int row, int column,
                           std::vector<Param>* params) {
  std::string sql = "SELECT id FROM store_folders WHERE 0";
  if (HasRight(call, QZ_FOLDER_PERSONAL, row, column)) {
    sql += " OR (class = 0 AND owner = ?)";
    params->emplace_back(std::in_place_type<std::string>, call.user().id);
  }
  if (HasRight(call, QZ_FOLDER_DEPARTMENT, row, column)) {
    if (call.IsAdministrator()) {
      sql += " OR class = 1";
    } else if (!dept.empty()) {
      sql += " OR (class = 1 AND owner = ?)";
      params->emplace_back(std::in_place_type<std::string>, dept);
    }
  }
  if (HasRight(call, QZ_FOLDER_PUBLIC, row, column)) sql += " OR class = 2";
  return sql;
}

// Removes documents the store owns (relative names) once a deletion is
// committed.
void RemoveDocuments(const ServerContext& context, const std::vector<std::string>& documents) {
  for (const std::string& d : documents)
    if (!d.empty() && d[0] != '/' && !context.data_dir.empty())
      ::unlink(DocumentPath(context, d).c_str());
}

// The RECVTASK_TABLE records (796 bytes) rpcGetNewReceivedMessages
// answers with, at the send queue's offsets; in this reply the first field
// is the message's ID (what the client acknowledges, flags, moves and
// fetches) and the receive task's ID is at 28.
namespace recvtask {
constexpr size_t kFaxId = 0;          // uint32: the message
constexpr size_t kState = 4;          // uint32: 3, complete and filed
constexpr size_t kLineId = 8;         // uint32
constexpr size_t kPages = 12;         // uint32
constexpr size_t kStartTime = 16;     // uint32: seconds since 1970
constexpr size_t kEndTime = 20;       // uint32
constexpr size_t kTaskId = 28;        // uint32: the receive task that took it
constexpr size_t kOwner = 32;         // text[20]: user or department of the folder
constexpr size_t kLineNumber = 52;    // text[64]
constexpr size_t kSender = 116;       // text[64]: calling station
constexpr size_t kSenderUser = 180;   // text[20]
constexpr size_t kRecipient = 200;    // text[64]
constexpr size_t kSubject = 264;      // text[128]
constexpr size_t kDestination = 392;  // text[64]: "user <id>" or "department <id>"
constexpr size_t kDocument = 456;     // text[256]: the document's name in the store
constexpr uint32_t kDelivered = 3;
}  // namespace recvtask

void PutText(std::vector<uint8_t>& b, size_t off, size_t width, const std::string& text) {
  std::memcpy(b.data() + off, text.data(), std::min(text.size(), width - 1));
}

}  // namespace

std::string DocumentPath(const ServerContext& context, const std::string& document) {
  if (document.empty() || document[0] == '/') return document;
  return context.data_dir + "/" + document;
}

bool EnsureUserFolders(sqlite3* db, const std::string& user) {
  Stmt n(db, "SELECT COUNT(*) FROM store_folders WHERE class = 0 AND owner = ? AND flags = 1");
  if (!n.Bind(1, std::string_view(user)) || n.Step() != SQLITE_ROW) return false;
  if (n.Int(0) == 8) return true;
  for (int kind = 1; kind <= 8; ++kind) {
    Stmt s(db, "INSERT OR IGNORE INTO store_folders(class, owner, kind, name, flags) "
               "VALUES(0, ?, ?, ?, 1)");
    if (!s.Bind(1, std::string_view(user)) || !s.Bind(2, int64_t{kind}) ||
        !s.Bind(3, std::string_view(kPersonalFolderNames[kind])) || s.Step() != SQLITE_DONE)
      return false;
  }
  return true;
}

bool CreateDepartmentFolders(sqlite3* db, const std::string& dept) {
  for (int kind : {QZ_KIND_INBOX, QZ_KIND_ADDRESSBOOK}) {
    Stmt s(db, "INSERT OR IGNORE INTO store_folders(class, owner, kind, name, flags) "
               "VALUES(1, ?, ?, ?, 1)");
    if (!s.Bind(1, std::string_view(dept)) || !s.Bind(2, int64_t{kind}) ||
        !s.Bind(3, std::string_view(kind == QZ_KIND_INBOX ? "Department inbox"
                                                          : "Department address book")) ||
        s.Step() != SQLITE_DONE)
      return false;
  }
  return true;
}

int32_t RemoveOwnerFolders(sqlite3* db, int folder_class, const std::string& owner) {
  Stmt n(db, "SELECT COUNT(*) FROM store_items i JOIN store_folders f ON i.folder_id = f.id "
             "WHERE f.class = ? AND f.owner = ?");
  if (!n.Bind(1, int64_t{folder_class}) || !n.Bind(2, std::string_view(owner)) ||
      n.Step() != SQLITE_ROW)
    return AsResult(kStoreFailure);
  if (n.Int(0) != 0) return AsResult(kInUse);
  Stmt d(db, "DELETE FROM store_folders WHERE class = ? AND owner = ?");
  if (!d.Bind(1, int64_t{folder_class}) || !d.Bind(2, std::string_view(owner)) ||
      d.Step() != SQLITE_DONE)
    return AsResult(kStoreFailure);
  return kOk;
}

int32_t FindMessage(sqlite3* db, Call& call, uint32_t fax_id, int row, MessageRef* out) {
  Stmt s(db, "SELECT folder_id, document, pages FROM store_items WHERE id = ? AND code = 1");
  if (!s.Bind(1, int64_t{fax_id}) || s.Step() != SQLITE_ROW)
    return call.Fail(kNotFound, "no message " + std::to_string(fax_id));
  std::optional<Folder> f = LoadFolder(db, s.Int(0));
  if (!f || !Visible(call, Department(db, call.user().id), *f))
    return call.Fail(kNotFound, "no message " + std::to_string(fax_id));
  if (!HasRight(call, f->cls, row, 0))
    return call.Fail(kAccessDenied, "access denied to message " + std::to_string(fax_id));
  out->id = fax_id;
  out->document = s.Text(1);
  out->pages = static_cast<uint32_t>(s.Int(2));
  return kOk;
}

bool SetMessageDocument(sqlite3* db, uint32_t fax_id, const std::string& document,
                        uint32_t pages) {
  Stmt q(db, "SELECT record FROM store_items WHERE id = ? AND code = 1");
  if (!q.Bind(1, int64_t{fax_id}) || q.Step() != SQLITE_ROW) return false;
  std::vector<uint8_t> rec = q.Blob(0);
  if (rec.size() != sizeof(FAXVIEW_TABLE)) return false;
  PutU32(rec, offsetof(FAXVIEW_TABLE, dwPages), pages);
  Stmt u(db, "UPDATE store_items SET record = ?, document = ?, pages = ? WHERE id = ?");
  return u.BindBlob(1, rec) && u.Bind(2, std::string_view(document)) &&
         u.Bind(3, int64_t{pages}) && u.Bind(4, int64_t{fax_id}) && u.Step() == SQLITE_DONE;
}

MessageStore::MessageStore(ServerContext* context, StoreLimits limits)
    : context_(context), limits_(limits) {}

bool MessageStore::HandlesMain(uint16_t opnum) const {
  switch (opnum) {
    case 26: case 27: case 28: case 29: case 30: case 40: case 42:
    case 69: case 70: case 74: case 75: case 76: case 77: case 84:
      return true;
    default:
      return false;
  }
}

namespace {

// The procedures, each run inside one transaction by MessageStore::Main.
class Procedures {
 public:
  Procedures(sqlite3* db, Call& call, const StoreLimits& limits)
      : db_(db), call_(call), limits_(limits) {}

  std::vector<std::string> removed_documents;

  int32_t Run(uint16_t opnum) {
    if (!EnsureUserFolders(db_, call_.user().id)) return Store();
    dept_ = Department(db_, call_.user().id);
    switch (opnum) {
      case 26: return New(call_.arg(2).number, call_.arg(3), call_.arg(4), call_.arg(5),
                          call_.arg(6));
      case 27: return Edit();
      case 28: return Delete(call_.arg(2).number, call_.arg(3), call_.arg(4), call_.arg(5),
                             call_.arg(6));
      case 29: return Move();
      case 30: return Get(call_.arg(2).number, call_.arg(3), call_.arg(4), call_.arg(7).text,
                          call_.arg(5), call_.arg(6));
      case 40: return Get(QZ_ITEM_GROUP, call_.arg(2), call_.arg(3), "", call_.arg(4),
                          call_.arg(5));
      case 42: return Kind5();
      case 69: return DelFaxViews();
      case 70: return GetFaxViews();
      case 74: case 75: return AddressBook(opnum == 75);
      case 76: return Folders();
      case 77: return SetFlag();
      case 84: return NewReceived();
      default: return AsResult(kNotHandled);
    }
  }

 private:
  int32_t Store() { return call_.Fail(kStoreFailure, std::string("store: ") + sqlite3_errmsg(db_)); }

  // Checks the code, the folder and the block for an item operation.
  int32_t Prepare(int32_t code, const rpc::ServerValue& folder_block,
                  const rpc::ServerValue& folder_size, const rpc::ServerValue& block,
                  const rpc::ServerValue& size, int row, bool test_rights, const ItemKind** kind,
                  Folder* folder, size_t* count) {
    *kind = FindKind(code);
    if (*kind == nullptr) return call_.Fail(kBadArgument, "item code " + std::to_string(code));
    int32_t rc = ResolveFolder(db_, call_, folder_block, folder_size, folder);
    if (rc != kOk) return rc;
    call_.Note("item code " + std::to_string(code) + " in folder " + std::to_string(folder->id));
    if (!((*kind)->kinds & K(folder->kind)))
      return call_.Fail(kWrongItemKind, "item code " + std::to_string(code) +
                                            " not held by folder kind " +
                                            std::to_string(folder->kind));
    if (test_rights && (rc = RequireFolderRight(call_, *folder, row, **kind)) != kOk) return rc;
    if (size.number < 0 || block.bytes.size() != static_cast<size_t>(size.number) ||
        (*count = WholeRecords(block.bytes.size(), (*kind)->size, limits_)) == 0)
      return call_.Fail(kBadRecord, "item block of " + std::to_string(size.number) + " bytes");
    return kOk;
  }

  int32_t New(int32_t code, const rpc::ServerValue& fb, const rpc::ServerValue& fs,
              rpc::ServerValue& block, const rpc::ServerValue& size) {
    const ItemKind* k;
    Folder f;
    size_t n;
    int32_t rc = Prepare(code, fb, fs, block, size, kChange, true, &k, &f, &n);
    if (rc != kOk) return rc;
    // The block goes back to the client: it gets the identifiers only when
    // every record was made.
    std::vector<uint8_t> made = block.bytes;
    for (size_t i = 0; i < n; ++i) {
      std::vector<uint8_t> rec(made.begin() + i * k->size, made.begin() + (i + 1) * k->size);
      if (code == QZ_ITEM_RELATION) {
        if ((rc = NewRelation(f, rec)) != kOk) return rc;
        continue;
      }
      if (code == QZ_ITEM_MESSAGE) {
        // The server keeps what only it knows: a message made by a user
        // has no document yet.
        PutU32(rec, offsetof(FAXVIEW_TABLE, dwFlags), U32(rec, 8) & QZ_FAXVIEW_ALLFLAGS);
        PutU32(rec, offsetof(FAXVIEW_TABLE, dwDirection), 2);
        PutU32(rec, offsetof(FAXVIEW_TABLE, dwPages), 0);
      }
      Columns c;
      if (!ExtractColumns(*k, rec.data(), &c))
        return call_.Fail(kBadRecord, "text without NUL in record " + std::to_string(i));
      int64_t id;
      if (!InsertItem(db_, *k, f.id, rec, c, 2, &id)) return Store();
      std::memcpy(made.data() + i * k->size, rec.data(), k->size);
    }
    block.bytes = std::move(made);
    call_.Note("created " + std::to_string(n) + " of item code " + std::to_string(code) +
               " in folder " + std::to_string(f.id));
    return kOk;
  }

  // A relation joins an address entry of the folder with a group the
  // caller sees.
  int32_t NewRelation(const Folder& f, const std::vector<uint8_t>& rec) {
    ADDRRELATION_TABLE r;
    std::memcpy(&r, rec.data(), sizeof r);
    if (!LoadItem(db_, r.dwAddressID, f.id, QZ_ITEM_ADDRESS) || !GroupVisible(r.dwGroupID))
      return call_.Fail(kNotFound, "relation names an unknown entry or group");
    Stmt s(db_, "INSERT INTO store_relations(address_id, group_id) VALUES(?, ?)");
    if (!s.Bind(1, int64_t{r.dwAddressID}) || !s.Bind(2, int64_t{r.dwGroupID})) return Store();
    int step = s.Step();
    if (step == SQLITE_CONSTRAINT) return call_.Fail(kExists, "relation exists");
    return step == SQLITE_DONE ? kOk : Store();
  }
  bool GroupVisible(int64_t group) {
    Stmt s(db_, "SELECT folder_id FROM store_items WHERE id = ? AND code = 4");
    if (!s.Bind(1, group) || s.Step() != SQLITE_ROW) return false;
    std::optional<Folder> g = LoadFolder(db_, s.Int(0));
    return g && Visible(call_, dept_, *g);
  }

  int32_t Edit() {
    int32_t code = call_.arg(2).number;
    const ItemKind* k;
    Folder f;
    size_t n;
    const ItemKind* probe = FindKind(code);
    int32_t rc = Prepare(code, call_.arg(3), call_.arg(4), call_.arg(5), call_.arg(6), kChange,
                         probe && !probe->rights_free, &k, &f, &n);
    if (rc != kOk) return rc;
    if (code == QZ_ITEM_RELATION)
      return call_.Fail(kWrongItemKind, "relations are made and deleted, not edited");
    const std::vector<uint8_t>& block = call_.arg(5).bytes;
    for (size_t i = 0; i < n; ++i) {
      std::vector<uint8_t> rec(block.begin() + i * k->size, block.begin() + (i + 1) * k->size);
      std::optional<StoredItem> old = LoadItem(db_, U32(rec, 0), f.id, code);
      if (!old) return call_.Fail(kNotFound, "no item " + std::to_string(U32(rec, 0)));
      PutU32(rec, 4, static_cast<uint32_t>(f.id));
      if (code == QZ_ITEM_MESSAGE) {
        // Only the flags and the subject are the user's to change.
        std::vector<uint8_t> kept = old->record;
        PutU32(kept, offsetof(FAXVIEW_TABLE, dwFlags), U32(rec, 8) & QZ_FAXVIEW_ALLFLAGS);
        std::memcpy(kept.data() + offsetof(FAXVIEW_TABLE, szSubject),
                    rec.data() + offsetof(FAXVIEW_TABLE, szSubject), 28);
        rec = std::move(kept);
      }
      Columns c;
      if (!ExtractColumns(*k, rec.data(), &c))
        return call_.Fail(kBadRecord, "text without NUL in record " + std::to_string(i));
      if (!UpdateItem(db_, old->id, rec, c)) return Store();
      if (code == QZ_ITEM_MESSAGE && (c.flags & QZ_FAXVIEW_READ) &&
          !SetMessageFlags(db_, old->id, static_cast<uint32_t>(c.flags)))
        return Store();
    }
    call_.Note("edited " + std::to_string(n) + " of item code " + std::to_string(code));
    return kOk;
  }

  int32_t Delete(int32_t code, const rpc::ServerValue& fb, const rpc::ServerValue& fs,
                 const rpc::ServerValue& block, const rpc::ServerValue& size) {
    const ItemKind* k;
    Folder f;
    size_t n;
    const ItemKind* probe = FindKind(code);
    int32_t rc = Prepare(code, fb, fs, block, size, kChange, probe && !probe->rights_free, &k, &f,
                         &n);
    if (rc != kOk) return rc;
    for (size_t i = 0; i < n; ++i) {
      if (code == QZ_ITEM_RELATION) {
        ADDRRELATION_TABLE r = RecordAt<ADDRRELATION_TABLE>(block.bytes, i);
        if (!LoadItem(db_, r.dwAddressID, f.id, QZ_ITEM_ADDRESS))
          return call_.Fail(kNotFound, "no relation");
        Stmt s(db_, "DELETE FROM store_relations WHERE address_id = ? AND group_id = ?");
        if (!s.Bind(1, int64_t{r.dwAddressID}) || !s.Bind(2, int64_t{r.dwGroupID}) ||
            s.Step() != SQLITE_DONE)
          return Store();
        if (sqlite3_changes(db_) != 1) return call_.Fail(kNotFound, "no relation");
        continue;
      }
      uint32_t id = U32(block.bytes, i * k->size);
      std::optional<StoredItem> old = LoadItem(db_, id, f.id, code);
      if (!old) return call_.Fail(kNotFound, "no item " + std::to_string(id));
      if (!DeleteItem(db_, id)) return Store();
      removed_documents.push_back(old->document);
    }
    call_.Note("deleted " + std::to_string(n) + " of item code " + std::to_string(code));
    return kOk;
  }

  int32_t Move() {
    int32_t code = call_.arg(2).number;
    const ItemKind* k;
    Folder from, to;
    size_t n;
    int32_t rc = Prepare(code, call_.arg(3), call_.arg(4), call_.arg(5), call_.arg(6), kChange,
                         true, &k, &from, &n);
    if (rc != kOk) return rc;
    if ((rc = ResolveFolder(db_, call_, call_.arg(7), call_.arg(8), &to)) != kOk) return rc;
    if (!(k->kinds & K(to.kind)) || code == QZ_ITEM_RELATION)
      return call_.Fail(kWrongItemKind, "folder " + std::to_string(to.id) +
                                            " does not hold item code " + std::to_string(code));
    if ((rc = RequireFolderRight(call_, to, kChange, *k)) != kOk) return rc;
    const std::vector<uint8_t>& block = call_.arg(5).bytes;
    for (size_t i = 0; i < n; ++i) {
      uint32_t id = U32(block, i * k->size);
      std::optional<StoredItem> old = LoadItem(db_, id, from.id, code);
      if (!old) return call_.Fail(kNotFound, "no item " + std::to_string(id));
      PutU32(old->record, 4, static_cast<uint32_t>(to.id));
      Stmt s(db_, "UPDATE store_items SET folder_id = ?, record = ? WHERE id = ?");
      if (!s.Bind(1, to.id) || !s.BindBlob(2, old->record) || !s.Bind(3, old->id) ||
          s.Step() != SQLITE_DONE)
        return Store();
    }
    call_.Note("moved " + std::to_string(n) + " of item code " + std::to_string(code) +
               " from folder " + std::to_string(from.id) + " to " + std::to_string(to.id));
    return kOk;
  }

  int32_t Get(int32_t code, const rpc::ServerValue& fb, const rpc::ServerValue& fs,
              const std::string& condition, rpc::ServerValue& reply, rpc::ServerValue& count) {
    SetReply(reply, count, {});
    if (code == QZ_ITEM_RELATION && fs.number == QZ_SIZEOF_ADDRRELATION_TABLE &&
        fb.bytes.size() == sizeof(ADDRRELATION_TABLE))
      return RelationsBySelector(RecordAt<ADDRRELATION_TABLE>(fb.bytes, 0), reply, count);
    const ItemKind* k = FindKind(code);
    if (k == nullptr) return call_.Fail(kBadArgument, "item code " + std::to_string(code));
    Folder f;
    int32_t rc = ResolveFolder(db_, call_, fb, fs, &f);
    if (rc != kOk) return rc;
    if (!(k->kinds & K(f.kind)))
      return call_.Fail(kWrongItemKind, "folder kind " + std::to_string(f.kind) +
                                            " does not hold item code " + std::to_string(code));
    if (!k->rights_free && (rc = RequireFolderRight(call_, f, kRead, *k)) != kOk) return rc;
    std::vector<ConditionTerm> terms;
    std::string why;
    if (!ParseCondition(condition, kItemFields, &terms, &why))
      return call_.Fail(kBadCondition, "condition: " + why);
    std::vector<Param> params;
    std::string sql;
    if (code == QZ_ITEM_RELATION) {
      sql = "SELECT r.address_id, r.group_id FROM store_relations r JOIN store_items i ON "
            "i.id = r.address_id WHERE i.folder_id = ?";
    } else {
      sql = "SELECT i.record FROM store_items i WHERE i.folder_id = ? AND i.code = ?";
    }
    AddInt(&params, f.id);
    if (code != QZ_ITEM_RELATION) AddInt(&params, int64_t{code});
    sql += ConditionSql(terms, " AND ", &params) + " ORDER BY i.id LIMIT ?";
    AddInt(&params, static_cast<int64_t>(limits_.max_records + 1));
    std::vector<uint8_t> out;
    size_t rows = 0;
    rc = Select(sql, params, [&](Stmt& s) {
      ++rows;
      if (code == QZ_ITEM_RELATION) {
        ADDRRELATION_TABLE r{static_cast<uint32_t>(s.Int(0)), static_cast<uint32_t>(s.Int(1))};
        AppendRecord(&out, r);
      } else {
        AppendBytes(&out, s.Blob(0));
      }
    });
    if (rc != kOk) return rc;
    if (rows > limits_.max_records) return call_.Fail(kReplyTooLarge, "more than the reply limit");
    call_.Note("listed " + std::to_string(rows) + " of item code " + std::to_string(code) +
               " in folder " + std::to_string(f.id));
    SetReply(reply, count, std::move(out));
    return kOk;
  }

  // Relations of one address entry (address, 0) or one group (0, group),
  // of entries in folders the caller may read.
  int32_t RelationsBySelector(const ADDRRELATION_TABLE& sel, rpc::ServerValue& reply,
                              rpc::ServerValue& count) {
    if ((sel.dwAddressID == 0) == (sel.dwGroupID == 0))
      return call_.Fail(kBadArgument, "selector needs exactly one identifier");
    std::vector<Param> params;
    std::string sql = "SELECT r.address_id, r.group_id FROM store_relations r JOIN store_items i "
                      "ON i.id = r.address_id WHERE i.folder_id IN (" +
                      VisibleFolders(call_, dept_, kRead, 0, &params) + ") AND " +
                      (sel.dwAddressID ? "r.address_id = ?" : "r.group_id = ?") +
                      " ORDER BY r.address_id, r.group_id LIMIT ?";
    AddInt(&params, int64_t{sel.dwAddressID ? sel.dwAddressID : sel.dwGroupID});
    AddInt(&params, static_cast<int64_t>(limits_.max_records + 1));
    std::vector<uint8_t> out;
    size_t rows = 0;
    int32_t rc = Select(sql, params, [&](Stmt& s) {
      ++rows;
      AppendRecord(&out, ADDRRELATION_TABLE{static_cast<uint32_t>(s.Int(0)),
                                            static_cast<uint32_t>(s.Int(1))});
    });
    if (rc != kOk) return rc;
    if (rows > limits_.max_records) return call_.Fail(kReplyTooLarge, "more than the reply limit");
    call_.Note("relations: " + std::to_string(rows));
    SetReply(reply, count, std::move(out));
    return kOk;
  }

  int32_t Kind5() {
    int32_t mode = call_.arg(2).number;
    if (mode == 1) return New(QZ_ITEM_GROUP, call_.arg(3), call_.arg(4), call_.arg(5),
                              call_.arg(6));
    if (mode == 3) return Delete(QZ_ITEM_GROUP, call_.arg(3), call_.arg(4), call_.arg(5),
                                 call_.arg(6));
    return call_.Fail(kBadArgument, "mode " + std::to_string(mode));
  }

  template <typename F>
  int32_t Select(const std::string& sql, const std::vector<Param>& params, F&& row) {
    Stmt s(db_, sql);
    if (!BindAll(s, params)) return Store();
    int step;
    while ((step = s.Step()) == SQLITE_ROW) row(s);
    return step == SQLITE_DONE ? kOk : Store();
  }

  // The messages of the fax view procedures: in folders the caller may
  // read (row 0) or change (row 1), selected by the condition.
  int32_t SelectMessages(const std::string& condition, int row, const char* columns,
                         std::string* sql, std::vector<Param>* params) {
    std::vector<ConditionTerm> terms;
    std::string why;
    if (!ParseCondition(condition, kItemFields, &terms, &why))
      return call_.Fail(kBadCondition, "condition: " + why);
    if (row == kChange && terms.empty())
      return call_.Fail(kBadCondition, "an empty condition deletes nothing");
    *sql = std::string("SELECT ") + columns + " FROM store_items i WHERE i.code = 1 AND " +
           "i.folder_id IN (" + VisibleFolders(call_, dept_, row, 0, params) + ")";
    *sql += ConditionSql(terms, " AND ", params) + " ORDER BY i.id LIMIT ?";
    AddInt(params, static_cast<int64_t>(limits_.max_records + 1));
    return kOk;
  }

  int32_t GetFaxViews() {
    SetReply(call_.arg(3), call_.arg(4), {});
    call_.Note("condition: " + call_.arg(2).text);
    std::string sql;
    std::vector<Param> params;
    int32_t rc = SelectMessages(call_.arg(2).text, kRead, "i.record", &sql, &params);
    if (rc != kOk) return rc;
    std::vector<uint8_t> out;
    size_t rows = 0;
    if ((rc = Select(sql, params, [&](Stmt& s) {
           ++rows;
           AppendBytes(&out, s.Blob(0));
         })) != kOk)
      return rc;
    if (rows > limits_.max_records) return call_.Fail(kReplyTooLarge, "more than the reply limit");
    SetReply(call_.arg(3), call_.arg(4), std::move(out));
    return kOk;
  }

  int32_t DelFaxViews() {
    call_.Note("condition: " + call_.arg(2).text);
    std::string sql;
    std::vector<Param> params;
    int32_t rc = SelectMessages(call_.arg(2).text, kChange, "i.id, i.document", &sql, &params);
    if (rc != kOk) return rc;
    std::vector<std::pair<int64_t, std::string>> doomed;
    if ((rc = Select(sql, params, [&](Stmt& s) { doomed.emplace_back(s.Int(0), s.Text(1)); })) !=
        kOk)
      return rc;
    if (doomed.size() > limits_.max_records)
      return call_.Fail(kReplyTooLarge, "more than the limit at once");
    for (const auto& [id, document] : doomed) {
      if (!DeleteItem(db_, id)) return Store();
      removed_documents.push_back(document);
    }
    call_.Note("condition: " + call_.arg(2).text + " -> " + std::to_string(doomed.size()) +
               " deleted");
    return kOk;
  }

  int32_t SetFlag() {
    int32_t flag = call_.arg(2).number;
    auto id = static_cast<uint32_t>(call_.arg(3).number);
    call_.Note("message " + std::to_string(id) + " flags " + std::to_string(flag));
    if (flag < 0 || static_cast<uint32_t>(flag) > QZ_FAXVIEW_ALLFLAGS)
      return call_.Fail(kBadArgument, "flags " + std::to_string(flag));
    MessageRef m;
    int32_t rc = FindMessage(db_, call_, id, kChange, &m);
    if (rc != kOk) return rc;
    return SetMessageFlags(db_, id, static_cast<uint32_t>(flag)) ? kOk : Store();
  }

  int32_t AddressBook(bool ex) {
    SetReply(call_.arg(3), call_.arg(4), {});
    if (call_.arg(2).text != call_.user().id)
      return call_.Fail(kAccessDenied, "address book of another user");
    std::vector<uint8_t> addresses, groups, relations;
    size_t counts[3] = {0, 0, 0};
    for (int code : {QZ_ITEM_ADDRESS, QZ_ITEM_GROUP}) {
      if (code == QZ_ITEM_GROUP && !ex) break;
      std::vector<Param> params;
      std::string sql = "SELECT i.record FROM store_items i WHERE i.code = ? AND i.folder_id IN (" +
                        VisibleFolders(call_, dept_, kRead, FindKind(code)->column, &params) +
                        ") ORDER BY i.id LIMIT ?";
      params.emplace(params.begin(), std::in_place_type<int64_t>, int64_t{code});
      AddInt(&params, static_cast<int64_t>(limits_.max_records + 1));
      size_t& n = counts[code == QZ_ITEM_ADDRESS ? 0 : 1];
      std::vector<uint8_t>& out = code == QZ_ITEM_ADDRESS ? addresses : groups;
      int32_t rc = Select(sql, params, [&](Stmt& s) {
        ++n;
        AppendBytes(&out, s.Blob(0));
      });
      if (rc != kOk) return rc;
    }
    if (ex) {
      std::vector<Param> params;
      std::string sql = "SELECT r.address_id, r.group_id FROM store_relations r JOIN store_items "
                        "i ON i.id = r.address_id WHERE i.folder_id IN (" +
                        VisibleFolders(call_, dept_, kRead, 0, &params) +
                        ") ORDER BY r.address_id, r.group_id LIMIT ?";
      AddInt(&params, static_cast<int64_t>(limits_.max_records + 1));
      int32_t rc = Select(sql, params, [&](Stmt& s) {
        ++counts[2];
        AppendRecord(&relations, ADDRRELATION_TABLE{static_cast<uint32_t>(s.Int(0)),
                                                    static_cast<uint32_t>(s.Int(1))});
      });
      if (rc != kOk) return rc;
    }
    if (counts[0] + counts[1] + counts[2] > limits_.max_records)
      return call_.Fail(kReplyTooLarge, "more than the reply limit");
    std::vector<uint8_t> out;
    if (ex) {
      ADDRESSBOOK_HEADER h{static_cast<uint32_t>(counts[0]), static_cast<uint32_t>(counts[1]),
                           static_cast<uint32_t>(counts[2]), 0};
      AppendRecord(&out, h);
    }
    for (const std::vector<uint8_t>* part : {&addresses, &groups, &relations})
      AppendBytes(&out, *part);
    call_.Note("address book: " + std::to_string(counts[0]) + " entries");
    SetReply(call_.arg(3), call_.arg(4), std::move(out));
    return kOk;
  }

  int32_t Folders() {
    SetReply(call_.arg(3), call_.arg(4), {});
    int32_t kind = call_.arg(2).number;
    if (kind < 1 || kind > 8) return call_.Fail(kBadArgument, "folder kind " + std::to_string(kind));
    std::vector<uint8_t> out;
    size_t rows = 0;
    int32_t rc = Select(
        "SELECT f.id, f.class, f.owner, f.kind, f.name, f.parent_id, f.flags, "
        "(SELECT COUNT(*) FROM store_items i WHERE i.folder_id = f.id), "
        "(SELECT COUNT(*) FROM store_items i WHERE i.folder_id = f.id AND i.code = 1 AND "
        "(i.flags & 1) = 0) FROM store_folders f WHERE f.kind = ? ORDER BY f.class, f.id",
        {int64_t{kind}}, [&](Stmt& s) {
          Folder f{s.Int(0), static_cast<int>(s.Int(1)), s.Text(2), static_cast<int>(s.Int(3)),
                   s.Text(4), s.Int(5), s.Int(6)};
          if (!Visible(call_, dept_, f) || rows >= limits_.max_records) return;
          ++rows;
          FOLDERINFO_TABLE r;
          std::memset(&r, 0, sizeof r);
          r.dwFolderID = static_cast<uint32_t>(f.id);
          r.dwClass = static_cast<uint32_t>(f.cls);
          SetField(r.szOwner, f.owner);
          SetField(r.szName, f.name);
          r.dwKind = static_cast<uint32_t>(f.kind);
          r.dwParentID = static_cast<uint32_t>(f.parent);
          r.dwItemCount = static_cast<uint32_t>(s.Int(7));
          r.dwUnread = static_cast<uint32_t>(s.Int(8));
          r.dwFlags = static_cast<uint32_t>(f.flags);
          AppendRecord(&out, r);
        });
    if (rc != kOk) return rc;
    call_.Note("folders of kind " + std::to_string(kind) + ": " + std::to_string(rows));
    SetReply(call_.arg(3), call_.arg(4), std::move(out));
    return kOk;
  }

  int32_t NewReceived() {
    SetReply(call_.arg(6), call_.arg(7), {});
    Folder f;
    int32_t rc = ResolveFolder(db_, call_, call_.arg(2), call_.arg(3), &f);
    if (rc != kOk) return rc;
    if ((rc = RequireFolderRight(call_, f, kRead, *FindKind(QZ_ITEM_MESSAGE))) != kOk) return rc;
    const std::vector<uint8_t>& ids = call_.arg(4).bytes;
    if (call_.arg(5).number < 0 || ids.size() != static_cast<size_t>(call_.arg(5).number) ||
        ids.size() % 4 != 0 || ids.size() / 4 > limits_.max_records)
      return call_.Fail(kBadRecord, "identifier list of " + std::to_string(ids.size()) + " bytes");
    // The listed messages are known to the client now: no longer new.
    for (size_t off = 0; off < ids.size(); off += 4) {
      Stmt s(db_, "UPDATE store_items SET is_new = 0 WHERE id = ? AND folder_id = ?");
      if (!s.Bind(1, int64_t{U32(ids, off)}) || !s.Bind(2, f.id) || s.Step() != SQLITE_DONE)
        return Store();
    }
    std::vector<uint8_t> out;
    size_t rows = 0;
    rc = Select("SELECT id, recv_task, line_id, pages, time, line_number, number, sender_user, "
                "name, recipient, document FROM store_items WHERE folder_id = ? AND code = 1 AND "
                "is_new = 1 ORDER BY id LIMIT ?",
                {f.id, static_cast<int64_t>(limits_.max_records)}, [&](Stmt& s) {
                  ++rows;
                  std::vector<uint8_t> r(QZ_SIZEOF_RECVTASK_TABLE, 0);
                  PutU32(r, recvtask::kFaxId, static_cast<uint32_t>(s.Int(0)));
                  PutU32(r, recvtask::kState, recvtask::kDelivered);
                  PutU32(r, recvtask::kLineId, static_cast<uint32_t>(s.Int(2)));
                  PutU32(r, recvtask::kPages, static_cast<uint32_t>(s.Int(3)));
                  PutU32(r, recvtask::kStartTime, static_cast<uint32_t>(s.Int(4)));
                  PutU32(r, recvtask::kEndTime, static_cast<uint32_t>(s.Int(4)));
                  PutU32(r, recvtask::kTaskId, static_cast<uint32_t>(s.Int(1)));
                  PutText(r, recvtask::kOwner, 20, f.owner);
                  PutText(r, recvtask::kLineNumber, 64, s.Text(5));
                  PutText(r, recvtask::kSender, 64, s.Text(6));
                  PutText(r, recvtask::kSenderUser, 20, s.Text(7));
                  PutText(r, recvtask::kRecipient, 64, s.Text(9));
                  PutText(r, recvtask::kSubject, 128, s.Text(8));
                  PutText(r, recvtask::kDestination, 64,
                          (f.cls == QZ_FOLDER_PERSONAL ? "user " : "department ") + f.owner);
                  PutText(r, recvtask::kDocument, 256, s.Text(10));
                  AppendBytes(&out, r);
                });
    if (rc != kOk) return rc;
    call_.Note("folder " + std::to_string(f.id) + ": " + std::to_string(ids.size() / 4) +
               " acknowledged, " + std::to_string(rows) + " new");
    SetReply(call_.arg(6), call_.arg(7), std::move(out));
    return kOk;
  }

  sqlite3* db_;
  Call& call_;
  const StoreLimits& limits_;
  std::string dept_;
};

}  // namespace

int32_t MessageStore::Main(Call& call, uint16_t opnum) {
  int32_t result = AsResult(kStoreFailure);
  std::vector<std::string> removed;
  bool committed = context_->store->Transaction([&](sqlite3* db) {
    Procedures p(db, call, limits_);
    result = p.Run(opnum);
    removed = std::move(p.removed_documents);
    return result == kOk;
  });
  if (result == kOk && !committed) return call.Fail(kStoreFailure, "store: commit failed");
  if (committed) RemoveDocuments(*context_, removed);
  return result;
}

uint32_t MessageStore::InjectReceivedFax(const ReceivedFax& fax, const Destination& to) {
  if (to.kind == Destination::Kind::kPrinter) return 0;
  uint32_t id = 0;
  std::string copied;
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    int64_t folder = 0;
    if (to.kind == Destination::Kind::kUser) {
      Stmt u(db, "SELECT 1 FROM users WHERE id = ?");
      if (!u.Bind(1, std::string_view(to.id)) || u.Step() != SQLITE_ROW) return false;
      if (!EnsureUserFolders(db, to.id)) return false;
    }
    Stmt q(db, "SELECT id FROM store_folders WHERE class = ? AND owner = ? AND kind = 1 AND "
               "flags = 1");
    if (!q.Bind(1, int64_t{to.kind == Destination::Kind::kUser ? 0 : 1}) ||
        !q.Bind(2, std::string_view(to.id)) || q.Step() != SQLITE_ROW)
      return false;
    folder = q.Int(0);
    FAXVIEW_TABLE r;
    std::memset(&r, 0, sizeof r);
    r.dwDirection = 0;
    r.dwPages = fax.pages;
    r.dwTime = static_cast<uint32_t>(fax.time_ms / 1000);
    SetField(r.szRemote, fax.sender_number);
    SetField(r.szSubject, fax.subject);
    std::vector<uint8_t> rec;
    AppendRecord(&rec, r);
    Columns c;
    if (!ExtractColumns(*FindKind(QZ_ITEM_MESSAGE), rec.data(), &c)) return false;
    int64_t item;
    if (!InsertItem(db, *FindKind(QZ_ITEM_MESSAGE), folder, rec, c, 0, &item)) return false;
    std::string document = fax.document_path;
    if (!context_->data_dir.empty() && !document.empty()) {
      // The message owns a copy of its document.
      std::error_code ec;
      std::filesystem::create_directories(context_->data_dir + "/messages", ec);
      std::string name = "messages/" + std::to_string(item) + ".tif";
      if (!std::filesystem::copy_file(document, DocumentPath(*context_, name),
                                      std::filesystem::copy_options::overwrite_existing, ec))
        return false;
      copied = DocumentPath(*context_, name);
      document = name;
    }
    Stmt u(db, "UPDATE store_items SET document = ?, pages = ?, is_new = 1, recv_task = ?, "
               "line_id = ?, line_number = ?, sender_user = ?, recipient = ? WHERE id = ?");
    if (!u.Bind(1, std::string_view(document)) || !u.Bind(2, int64_t{fax.pages}) ||
        !u.Bind(3, int64_t{fax.recv_task_id}) || !u.Bind(4, int64_t{fax.line_id}) ||
        !u.Bind(5, std::string_view(fax.line_number)) ||
        !u.Bind(6, std::string_view(fax.sender_user)) ||
        !u.Bind(7, std::string_view(fax.recipient_name)) || !u.Bind(8, item) ||
        u.Step() != SQLITE_DONE)
      return false;
    id = static_cast<uint32_t>(item);
    return true;
  });
  if (!ok) {
    if (!copied.empty()) ::unlink(copied.c_str());
    if (context_->log) context_->log("message store: cannot file received fax for " + to.id);
    return 0;
  }
  return id;
}

bool MessageStore::Deliver(const ReceivedFax& fax, const Destination& to) {
  return InjectReceivedFax(fax, to) != 0;
}

}  // namespace qz::faxd
