// family.h -- the frame every procedure family of qzfaxd is written on.
//
// FaxService keeps login, logout, sessions and the user log. Every other
// procedure belongs to one family (the send queue, the message store,
// users, lines, ...), a ProcedureFamily in a unit of its own
// (server/<family>.h/.cc) with its own tables (a SchemaPart, see
// store.h). FaxService checks the key of a call, loads the caller's user
// and hands the call to the family that claims the opnum; the family
// checks rights, sizes and values itself, carries the procedure out, and
// leaves a short text for the user log in call.note().
//
// Rules for a family:
//  - every length and count from the wire is checked against the block
//    that carries it before anything is read (sizes of the record layouts
//    in qzcsif/qzcsif.h);
//  - every text is bounded to its field before any work;
//  - rights are checked on every procedure (Call::Require), whatever the
//    client library checked;
//  - conditions become parameterised SQL (sql.h); client text is never
//    part of a statement;
//  - each procedure's writes go in one Store::Transaction.
//
// The families reach one another only through the interfaces of
// engine_hooks.h, so each can be built and tested alone.
//
// Thread-safety: a family's Main/ServiceControl run on many threads at
// once; families guard their own state.
#ifndef QZ_SERVER_FAMILY_H_
#define QZ_SERVER_FAMILY_H_

#include <cstdint>
#include <string>

#include "rpc/proc.h"
#include "rpc/server.h"
#include "server/server_status.h"
#include "server/store.h"

namespace qz::faxd {

// One call of a procedure, with its verified caller.
class Call {
 public:
  Call(const rpc::CallContext& ctx, rpc::ServerArgs& args, const User& user, int32_t session,
       std::string* note)
      : ctx_(ctx), args_(args), user_(user), session_(session), note_(note) {}

  const rpc::CallContext& ctx() const { return ctx_; }
  // Decoded parameters by position (1 is the key).
  rpc::ServerValue& arg(size_t pos) { return args_[pos]; }
  rpc::ServerArgs& args() { return args_; }
  // The user the key names, as stored when the call began.
  const User& user() const { return user_; }
  int32_t session() const { return session_; }
  bool IsAdministrator() const { return user_.type == 1; }
  // Over ncalrpc: the peer's credentials; over TCP: none.
  bool IsLocal() const { return ctx_.protseq == "ncalrpc" && ctx_.has_peer_credentials; }

  // kOk when dwRights[mask] holds `bit`; otherwise notes the refusal and
  // returns kAccessDenied.
  int32_t Require(int mask, uint32_t bit) {
    if (mask >= 0 && mask < 4 && (user_.rights[static_cast<size_t>(mask)] & bit) == bit)
      return kOk;
    Note("access denied");
    return AsResult(kAccessDenied);
  }
  // The text the user-log record of this call carries (cut there to fit).
  void Note(std::string text) { *note_ = std::move(text); }
  // Returns `status` after noting `text`: `return call.Fail(kBadRecord, "...")`.
  int32_t Fail(ServerStatus status, std::string text) {
    Note(std::move(text));
    return AsResult(status);
  }

 private:
  const rpc::CallContext& ctx_;
  rpc::ServerArgs& args_;
  const User& user_;
  int32_t session_;
  std::string* note_;
};

class ProcedureFamily {
 public:
  virtual ~ProcedureFamily() = default;
  // Short name for logs ("send queue").
  virtual const char* Name() const = 0;
  // True for the main-interface opnums this family carries out.
  virtual bool HandlesMain(uint16_t opnum) const = 0;
  // One main-interface call; the key (position 1) has been checked.
  virtual int32_t Main(Call& call, uint16_t opnum) = 0;
  // The service-control interface (opnums 0..5): 1, 2, 4 and 5 carry a key
  // that has been checked; 0 (rpcServerStart) carries none and comes with
  // a Call whose user is empty (session 0): the family authenticates it.
  virtual bool HandlesServiceControl(uint16_t /*opnum*/) const { return false; }
  virtual int32_t ServiceControl(Call& /*call*/, uint16_t /*opnum*/) {
    return AsResult(kNotHandled);
  }
  // Called once before the first call is served: puts right what a crash
  // may have left outside the database.
  virtual void Recover() {}
  // Called once the RPC endpoints are up, and before the server stops.
  virtual void Start() {}
  virtual void Stop() {}
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_FAMILY_H_
