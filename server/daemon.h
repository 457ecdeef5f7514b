// daemon.h -- the running stand-in fax server: store, procedure logic,
// RPC server on ncacn_ip_tcp and ncalrpc, and the endpoint registrations.
//
// Start() opens the store, registers both interfaces with the RPC server,
// listens, and registers the endpoints with an endpoint mapper: its own
// embedded one (TCP port epm_port, 0 = a free one, plus ncalrpc
// "epmapper") or, with embedded_epm off, a running mapper reached over
// its ncalrpc endpoint through ept_insert (lookups use epm_host:epm_port).
// Stop() removes the registrations from a running mapper and stops
// everything.
//
// Thread-safety: Start and Stop from one thread; the accessors after a
// successful Start from any thread.
#ifndef QZ_SERVER_DAEMON_H_
#define QZ_SERVER_DAEMON_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/interface_server.h"
#include "rpc/epm.h"
#include "rpc/server.h"
#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/fax_service.h"
#include "server/store.h"

namespace qz::faxd {

struct DaemonOptions {
  std::string db_path = ":memory:";
  std::string listen_host = "127.0.0.1";
  uint16_t port = 0;                 // 0: a free port
  bool listen_local = true;          // also ncalrpc
  std::string local_endpoint;        // empty: "qzfaxd-<pid>"
  bool embedded_epm = true;
  uint16_t epm_port = 0;             // embedded: port to listen on (0: free); else the mapper's
  std::string epm_host = "127.0.0.1";
  bool epm_local = true;             // embedded mapper also on ncalrpc "epmapper"
  // The server's own files (documents, cover pages, scripts, backups);
  // see ServerContext::data_dir.
  std::string data_dir;
  // TCP callers may name files only inside this directory (empty: none).
  std::string spool_dir;
  // The engine's clock; null: the system clock. Tests pass a ManualClock.
  Clock* clock = nullptr;
  // The send queue's lines and pace (see ServerContext::send_simulation).
  SendSimulation send_simulation;
  StoreOptions store;
  ServiceOptions service;
  std::function<void(const std::string&)> log;  // diagnostics; default none
};

class Daemon {
 public:
  explicit Daemon(DaemonOptions options);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  bool Start(std::string* error);
  void Stop();

  uint16_t tcp_port() const { return tcp_port_; }
  const std::string& local_endpoint() const { return local_endpoint_; }
  uint16_t epm_port() const { return epm_port_; }
  FaxService& service() { return *service_; }
  Store& store() { return *store_; }
  ServerContext& context() { return context_; }
  const std::string& data_dir() const { return data_dir_; }
  // Bytes of replies the RPC server is sending now.
  size_t held_reply_bytes() const { return server_ ? server_->HeldReplyBytes() : 0; }

 private:
  void Log(const std::string& line);
  bool Register(std::string* error);
  // The data directory: DaemonOptions::data_dir, else "<db>.data" beside
  // the database file, else (":memory:") a private temporary directory
  // removed by Stop(). Created with mode 0700.
  bool PrepareDataDir(std::string* error);
  void Unregister();

  DaemonOptions options_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Clock> system_clock_;
  ServerContext context_;
  std::vector<std::unique_ptr<ProcedureFamily>> families_;
  bool families_started_ = false;
  std::unique_ptr<FaxService> service_;
  std::unique_ptr<ifc::InterfaceServer> main_;
  std::unique_ptr<ifc::InterfaceServer> control_;
  std::unique_ptr<rpc::Server> server_;
  std::unique_ptr<rpc::EndpointMapperService> epm_;
  uint16_t tcp_port_ = 0;
  std::string local_endpoint_;
  uint16_t epm_port_ = 0;
  bool registered_remote_ = false;
  std::string data_dir_;
  bool temporary_data_dir_ = false;
};

// Builds every procedure family on `context` (families.cc). A family that
// answers one of the hooks of engine_hooks.h sets it in `context` here.
std::vector<std::unique_ptr<ProcedureFamily>> MakeFamilies(ServerContext* context);

// The system clock, in milliseconds since 1970.
std::unique_ptr<Clock> MakeSystemClock();

// The configuration problems `options` would meet at Start, each one
// sentence; empty when none. Writes nothing: the database (unless
// ":memory:") is read without creating it or its journal files. Checked:
// the database, when present, is a database of a schema this server knows
// (no newer core version, no unknown or newer part) owned by this user and
// closed to others; a missing one can be created in its directory; the
// data directory (as PrepareDataDir makes it) is ours and closed to others
// or can be created; the spool directory exists and is not writable by
// everyone; the TCP port and the embedded mapper's port differ; the TCP
// user is a valid identifier.
std::vector<std::string> CheckConfig(const DaemonOptions& options);

// Makes the local OS account `login` an administrator (qzfaxd --add-admin):
// an account not yet mapped gets a user of its own name, type 1 with all
// four rights masks, and is mapped to it. An account already mapped to an
// administrator (or whose same-named user is one) is left as it is (true,
// "already ..."). Refused (false): an account mapped to an ordinary user,
// a same-named ordinary user, a name that is no valid user identifier.
// *message says what was done or why not.
bool AddAdministrator(Store* store, const std::string& login, std::string* message);

// Wires a FaxService into the dispatchers of both interfaces.
void InstallHandlers(FaxService* service, ifc::InterfaceServer* main,
                     ifc::InterfaceServer* control);

}  // namespace qz::faxd

#endif  // QZ_SERVER_DAEMON_H_
