// message_store.h -- the message store of qzfaxd: folders, the items of
// the eight kinds, fax view records, the address book and relations, newly
// received messages; and the Inbox hook through which the engine files
// received faxes.
//
// Procedures: 26-30, 40, 42 (items), 69, 70, 77 (fax views), 74, 75
// (address book), 76 (folders), 84 (new received messages). Layouts in
// qzcsif/qzrecords_store.h; behaviour, rights and codes in server/README.md
// ("Message store, users and files").
//
// Thread-safety: Main and Deliver may run on many threads at once; every
// procedure is one Store::Transaction, which serialises them.
#ifndef QZ_SERVER_MESSAGE_STORE_H_
#define QZ_SERVER_MESSAGE_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/store_common.h"

struct sqlite3;

namespace qz::faxd {

extern const SchemaPart kMessageStoreSchema;

class MessageStore final : public ProcedureFamily, public Inbox {
 public:
  explicit MessageStore(ServerContext* context, StoreLimits limits = {});

  const char* Name() const override { return "message store"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;

  // Files a received fax as a new message in the inbox of a user or of a
  // department (printers are not the store's: false). The document is
  // copied below data_dir/messages when a data directory is set.
  bool Deliver(const ReceivedFax& fax, const Destination& to) override;
  // Test hook: the same as Deliver, returning the new message's ID (0 when
  // it could not be filed).
  uint32_t InjectReceivedFax(const ReceivedFax& fax, const Destination& to);

 private:
  ServerContext* context_;
  StoreLimits limits_;
};

// What the other units of the store need, called inside their own
// transaction on the store's connection.

// The personal folders of `user` (one per kind), made when missing.
bool EnsureUserFolders(sqlite3* db, const std::string& user);
// A new department's inbox and address book.
bool CreateDepartmentFolders(sqlite3* db, const std::string& dept);
// Removes the folders of a user (class 0) or department (class 1). kOk;
// kInUse when one still holds items; kStoreFailure.
int32_t RemoveOwnerFolders(sqlite3* db, int folder_class, const std::string& owner);

// A message the caller may reach.
struct MessageRef {
  uint32_t id = 0;
  std::string document;  // below data_dir when relative; "" for none
  uint32_t pages = 0;
};
// Finds message `fax_id` in a folder `user` sees, with the rights of
// access row `row` (0 read, 1 change) for messages. kOk, kNotFound or
// kAccessDenied (noted on the call).
int32_t FindMessage(sqlite3* db, Call& call, uint32_t fax_id, int row, MessageRef* out);
// Sets the document of a message (after FindMessage with row 1).
bool SetMessageDocument(sqlite3* db, uint32_t fax_id, const std::string& document,
                        uint32_t pages);
// The full path of a stored document name.
std::string DocumentPath(const ServerContext& context, const std::string& document);

}  // namespace qz::faxd

#endif  // QZ_SERVER_MESSAGE_STORE_H_
