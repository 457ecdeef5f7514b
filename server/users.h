// users.h -- users and departments of qzfaxd: create, change, delete and
// list departments; users through three record forms; user details; user
// records.
//
// Procedures 7-12. Users live in the store's users table (extended by this
// unit's schema part with the department and a description); passwords are
// kept only as salted hashes. Deleting a user who still owns items or
// drafts, or the last administrator, or oneself, is refused (IN_USE); a
// department with members or with items in its folders likewise. See
// server/README.md ("Message store, users and files").
//
// Thread-safety: Main may run on many threads at once; every procedure is
// one Store::Transaction.
#ifndef QZ_SERVER_USERS_H_
#define QZ_SERVER_USERS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/password.h"
#include "server/store_common.h"

struct sqlite3;

namespace qz::faxd {

extern const SchemaPart kUsersSchema;

// Offset of the department identifier (text[20]) inside the 972-byte user
// record, in bytes the client's header leaves to the server.
inline constexpr size_t kUserRecordDeptOffset = 53;

class Users final : public ProcedureFamily {
 public:
  // `password_cost`: Argon2id work factors of new hashes (tests: Minimal).
  explicit Users(ServerContext* context, StoreLimits limits = {},
                 PasswordCost password_cost = PasswordCost::Interactive());

  const char* Name() const override { return "users"; }
  bool HandlesMain(uint16_t opnum) const override { return opnum >= 7 && opnum <= 12; }
  int32_t Main(Call& call, uint16_t opnum) override;

  // What another family keeps of a user (send and receive tasks, ...):
  // `owns(db, user)` answers, inside the deleting transaction, whether
  // `user` still owns some; then the deletion is refused with IN_USE and
  // the note names `what`. Register before the server starts (families.cc).
  using OwnershipCheck = std::function<bool(sqlite3* db, const std::string& user)>;
  void AddOwnershipCheck(std::string what, OwnershipCheck owns) {
    ownership_checks_.emplace_back(std::move(what), std::move(owns));
  }

 private:
  std::vector<std::pair<std::string, OwnershipCheck>> ownership_checks_;
  ServerContext* context_;
  StoreLimits limits_;
  PasswordCost password_cost_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_USERS_H_
