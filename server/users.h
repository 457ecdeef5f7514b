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

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/store_common.h"

namespace qz::faxd {

extern const SchemaPart kUsersSchema;

// Offset of the department identifier (text[20]) inside the 972-byte user
// record, in bytes the client's header leaves to the server.
inline constexpr size_t kUserRecordDeptOffset = 53;

class Users final : public ProcedureFamily {
 public:
  // `password_iterations`: PBKDF2 iterations of new hashes (0: the default).
  explicit Users(ServerContext* context, StoreLimits limits = {},
                 uint32_t password_iterations = 0);

  const char* Name() const override { return "users"; }
  bool HandlesMain(uint16_t opnum) const override { return opnum >= 7 && opnum <= 12; }
  int32_t Main(Call& call, uint16_t opnum) override;

 private:
  ServerContext* context_;
  StoreLimits limits_;
  uint32_t iterations_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_USERS_H_
