// daemon.cc -- start and stop of the stand-in fax server.
#include "server/daemon.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "interfaces/interfaces.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

constexpr const char kAnnotation[] = "qzfaxd";

// The data directory a configuration names: its own, else "<db>.data"
// beside a database file; empty for an in-memory database without one.
std::string ConfiguredDataDir(const DaemonOptions& options) {
  if (!options.data_dir.empty()) return options.data_dir;
  if (options.db_path != ":memory:" && !options.db_path.empty()) return options.db_path + ".data";
  return "";
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A path that does not exist yet but is created at start: its directory
// must be there and writable.
void CheckCreatable(const std::string& what, const std::string& path,
                    std::vector<std::string>* problems) {
  std::string parent = std::filesystem::path(path).parent_path().string();
  if (parent.empty()) parent = ".";
  if (::access(parent.c_str(), W_OK | X_OK) != 0)
    problems->push_back(what + " " + path + " does not exist and cannot be created in " + parent +
                        ": " + std::strerror(errno));
}

// An existing file or directory of the server's own: of the right kind,
// owned by this user, no access for others (`open_bits` are the mode bits
// that must be clear).
void CheckOwnPath(const std::string& what, const std::string& path, const struct stat& st,
                  bool directory, mode_t open_bits, std::vector<std::string>* problems) {
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    problems->push_back(what + " " + path + " is not a " + (directory ? "directory" : "file"));
    return;
  }
  if (st.st_uid != ::geteuid())
    problems->push_back(what + " " + path + " belongs to uid " + std::to_string(st.st_uid) +
                        ", not to this user (uid " + std::to_string(::geteuid()) + ")");
  if ((st.st_mode & open_bits) != 0)
    problems->push_back(what + " " + path + " is open to other users (mode " +
                        Octal(st.st_mode) + ", expected no access for group and others)");
}

// The schema of an existing database file, read without writing: with no
// write-ahead log beside it the file is opened as immutable (no journal or
// shared-memory file is made); with one (a running server) read-only
// through the server's own files.
void CheckDatabaseSchema(const std::string& path, std::vector<std::string>* problems) {
  struct stat wal;
  bool live = ::stat((path + "-wal").c_str(), &wal) == 0;
  sqlite3* db = nullptr;
  std::string uri = "file:";
  for (char c : path) {
    // The URI's own characters in the path are escaped.
    if (c == '%' || c == '?' || c == '#') uri += c == '%' ? "%25" : c == '?' ? "%3F" : "%23";
    else uri += c;
  }
  uri += live ? "?mode=ro" : "?mode=ro&immutable=1";
  std::string what = "database " + path;
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
      SQLITE_OK) {
    problems->push_back(what + " cannot be opened: " + sqlite3_errmsg(db));
    sqlite3_close(db);
    return;
  }
  int version = -1;
  {
    Stmt v(db, "PRAGMA user_version");
    if (v.Step() == SQLITE_ROW) version = static_cast<int>(v.Int(0));
  }
  if (version < 0) {
    problems->push_back(what + " cannot be read as a database: " + sqlite3_errmsg(db));
  } else if (version > kSchemaVersion) {
    problems->push_back(what + " has schema version " + std::to_string(version) +
                        ", newer than this server's " + std::to_string(kSchemaVersion));
  } else if (version > 0) {
    Stmt parts(db, "SELECT name, version FROM schema_parts");
    while (parts.ok() && parts.Step() == SQLITE_ROW) {
      std::string name = parts.Text(0);
      int64_t have = parts.Int(1);
      const SchemaPart* known = nullptr;
      for (const SchemaPart* p : FamilySchemaParts())
        if (name == p->name) known = p;
      int newest = known && !known->steps.empty() ? known->steps.back().version : 0;
      if (!known)
        problems->push_back(what + " has a schema part \"" + name +
                            "\" this server does not know");
      else if (have > newest)
        problems->push_back(what + ": schema part \"" + name + "\" is at version " +
                            std::to_string(have) + ", newer than this server's " +
                            std::to_string(newest));
    }
  }
  sqlite3_close(db);
}

}  // namespace

std::vector<std::string> CheckConfig(const DaemonOptions& options) {
  std::vector<std::string> problems;
  struct stat st;
  const std::string& db = options.db_path;
  if (db.empty()) {
    problems.push_back("no database path");
  } else if (db != ":memory:") {
    if (::stat(db.c_str(), &st) != 0) {
      if (errno == ENOENT) CheckCreatable("database", db, &problems);
      else problems.push_back("database " + db + ": " + std::strerror(errno));
    } else {
      // It holds password hashes.
      CheckOwnPath("database", db, st, false, 077, &problems);
      if (S_ISREG(st.st_mode)) CheckDatabaseSchema(db, &problems);
    }
  }
  if (std::string data = ConfiguredDataDir(options); !data.empty()) {
    if (::stat(data.c_str(), &st) != 0) CheckCreatable("data directory", data, &problems);
    else CheckOwnPath("data directory", data, st, true, 077, &problems);
  }
  if (const std::string& spool = options.spool_dir; !spool.empty()) {
    if (::stat(spool.c_str(), &st) != 0)
      problems.push_back("spool directory " + spool + ": " + std::strerror(errno));
    else if (!S_ISDIR(st.st_mode))
      problems.push_back("spool directory " + spool + " is not a directory");
    else if ((st.st_mode & S_IWOTH) != 0)
      problems.push_back("spool directory " + spool + " is writable by everyone (mode " +
                         Octal(st.st_mode) + ")");
  }
  if (options.embedded_epm && options.port != 0 && options.port == options.epm_port)
    problems.push_back("the TCP port and the endpoint mapper's port are both " +
                       std::to_string(options.port));
  if (!options.service.tcp_user.empty() && !ValidUserId(options.service.tcp_user))
    problems.push_back("TCP user \"" + options.service.tcp_user +
                       "\" is not a valid user identifier (1-19 printable characters)");
  return problems;
}

bool AddAdministrator(Store* store, const std::string& login, std::string* message) {
  if (!ValidUserId(login)) {
    *message = "\"" + login + "\" cannot be a user identifier (1-19 printable characters)";
    return false;
  }
  auto ordinary = [&](const std::string& how, const std::string& id) {
    *message = how + id + "; an administrator can make that user one (user type 1)";
    return false;
  };
  if (std::optional<std::string> mapped = store->UserForOsUser(login)) {
    if (std::optional<User> user = store->GetUser(*mapped)) {
      if (user->type != 1) return ordinary("OS account " + login + " is mapped to the ordinary user ", *mapped);
      *message = "OS account " + login + " is already mapped to the administrator " + *mapped;
      return true;
    }
  }
  // Not mapped (or to a user that is gone): the user of its own name.
  if (std::optional<User> user = store->GetUser(login)) {
    if (user->type != 1) return ordinary("there is an ordinary user named ", login);
  } else {
    User admin;
    admin.id = login;
    admin.name = login.substr(0, 31);
    admin.type = 1;
    admin.rights = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    if (!store->AddUser(admin, "")) {
      *message = "cannot add the user " + login + ": " + store->last_error();
      return false;
    }
  }
  if (!store->MapOsUser(login, login)) {
    *message = "cannot map OS account " + login + ": " + store->last_error();
    return false;
  }
  *message = "OS account " + login + " is now the administrator " + login;
  return true;
}

void InstallHandlers(FaxService* service, ifc::InterfaceServer* main,
                     ifc::InterfaceServer* control) {
  for (uint16_t op = 0; op < ifc::MainInterface().count; ++op) {
    main->SetHandler(op, [service, op](const rpc::CallContext& ctx, rpc::ServerArgs& args) {
      return service->HandleMain(ctx, op, args);
    });
  }
  for (uint16_t op = 0; op < ifc::ServiceControlInterface().count; ++op) {
    control->SetHandler(op, [service, op](const rpc::CallContext& ctx, rpc::ServerArgs& args) {
      return service->HandleServiceControl(ctx, op, args);
    });
  }
}

Daemon::Daemon(DaemonOptions options) : options_(std::move(options)) {}

Daemon::~Daemon() { Stop(); }

void Daemon::Log(const std::string& line) {
  if (options_.log) options_.log(line);
}

bool Daemon::Start(std::string* error) {
  std::string why;
  store_ = Store::Open(options_.db_path, options_.store, &why);
  if (!store_) {
    *error = "database " + options_.db_path + ": " + why;
    return false;
  }
  if (!options_.service.log) options_.service.log = options_.log;
  service_ = std::make_unique<FaxService>(store_.get(), options_.service);
  if (options_.clock == nullptr) system_clock_ = MakeSystemClock();
  context_.store = store_.get();
  context_.clock = options_.clock ? options_.clock : system_clock_.get();
  if (!PrepareDataDir(error)) {
    Stop();
    return false;
  }
  context_.data_dir = data_dir_;
  context_.spool_dir = options_.spool_dir;
  context_.send_simulation = options_.send_simulation;
  context_.log = options_.log;
  families_ = MakeFamilies(&context_);
  for (auto& family : families_) service_->AddFamily(family.get());
  service_->SetSystemLog(context_.system_log);
  main_ = std::make_unique<ifc::InterfaceServer>(ifc::MainInterface());
  control_ = std::make_unique<ifc::InterfaceServer>(ifc::ServiceControlInterface());
  InstallHandlers(service_.get(), main_.get(), control_.get());

  rpc::ServerSettings settings;
  // After a restart, a client's pooled connections come back with the
  // association group of their login: it is taken up again while a
  // stored session is bound to it, so the session's key keeps working.
  settings.adopt_group = [store = store_.get()](uint32_t group) {
    return store->HasLiveBinding("group:" + std::to_string(group));
  };
  // Replies being sent (a client may read slowly or not at all) are
  // bounded across the server by the same figure as the user-log answers
  // being built.
  settings.max_total_reply_bytes = options_.service.max_replies_in_flight;
  server_ = std::make_unique<rpc::Server>(settings);
  server_->RegisterInterface(ifc::MainInterface().id, main_.get());
  server_->RegisterInterface(ifc::ServiceControlInterface().id, control_.get());
  tcp_port_ = server_->ListenTcp(options_.listen_host, options_.port);
  if (tcp_port_ == 0) {
    *error = "cannot listen on " + options_.listen_host + ":" + std::to_string(options_.port) +
             ": " + std::strerror(errno);
    Stop();
    return false;
  }
  if (options_.listen_local) {
    local_endpoint_ = options_.local_endpoint.empty()
                          ? "qzfaxd-" + std::to_string(::getpid())
                          : options_.local_endpoint;
    if (!server_->ListenLocal(local_endpoint_)) {
      *error = "cannot listen on ncalrpc endpoint " + local_endpoint_ + " in " +
               rpc::LocalRpcDirectory() + ": " + std::strerror(errno);
      Stop();
      return false;
    }
  }
  if (options_.embedded_epm) {
    epm_ = std::make_unique<rpc::EndpointMapperService>();
    if (!epm_->Start(options_.listen_host, options_.epm_port, options_.epm_local)) {
      *error = "cannot start the endpoint mapper on port " + std::to_string(options_.epm_port) +
               ": " + std::strerror(errno);
      Stop();
      return false;
    }
    epm_port_ = epm_->tcp_port();
  } else {
    epm_port_ = options_.epm_port;
  }
  if (!Register(error)) {
    Stop();
    return false;
  }
  // Listening, but no call is served before this.
  for (auto& family : families_) family->Recover();
  server_->Start();
  for (auto& family : families_) family->Start();
  families_started_ = true;
  Log("listening on " + options_.listen_host + ":" + std::to_string(tcp_port_) +
      (local_endpoint_.empty() ? "" : " and ncalrpc " + local_endpoint_) + ", endpoint mapper " +
      (options_.embedded_epm ? "embedded" : "at " + options_.epm_host) + " port " +
      std::to_string(epm_port_));
  return true;
}

bool Daemon::PrepareDataDir(std::string* error) {
  data_dir_ = ConfiguredDataDir(options_);
  if (data_dir_.empty()) {
    // An in-memory database keeps its files in a private temporary
    // directory that goes with the daemon.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzfaxd-data-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot create a data directory: " + std::string(std::strerror(errno));
      return false;
    }
    data_dir_ = pattern;
    temporary_data_dir_ = true;
    return true;
  }
  if (::mkdir(data_dir_.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create the data directory " + data_dir_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Daemon::Register(std::string* error) {
  const ifc::InterfaceDesc* ifaces[] = {&ifc::MainInterface(), &ifc::ServiceControlInterface()};
  struct Endpoint {
    const char* protseq;
    std::string name;
  };
  std::vector<Endpoint> endpoints = {{"ncacn_ip_tcp", std::to_string(tcp_port_)}};
  if (!local_endpoint_.empty()) endpoints.push_back({"ncalrpc", local_endpoint_});
  for (const ifc::InterfaceDesc* iface : ifaces) {
    for (const Endpoint& ep : endpoints) {
      if (epm_) {
        if (!epm_->mapper().Register(iface->id, ep.protseq, ep.name, kAnnotation)) {
          *error = std::string("cannot register ") + ep.protseq + " " + ep.name;
          return false;
        }
        continue;
      }
      // A running mapper takes registrations only over ncalrpc, where it
      // sees who registers.
      uint32_t st = rpc::EptInsert("ncalrpc", "", iface->id, ep.protseq, ep.name, kAnnotation);
      if (st != 0) {
        *error = std::string("ept_insert of ") + iface->name + " " + ep.protseq + " " + ep.name +
                 " failed with status " + std::to_string(st);
        return false;
      }
      registered_remote_ = true;
    }
  }
  return true;
}

void Daemon::Unregister() {
  if (!registered_remote_) return;
  registered_remote_ = false;
  const ifc::InterfaceDesc* ifaces[] = {&ifc::MainInterface(), &ifc::ServiceControlInterface()};
  for (const ifc::InterfaceDesc* iface : ifaces) {
    rpc::EptDelete("ncalrpc", "", iface->id, "ncacn_ip_tcp", std::to_string(tcp_port_));
    if (!local_endpoint_.empty())
      rpc::EptDelete("ncalrpc", "", iface->id, "ncalrpc", local_endpoint_);
  }
}

void Daemon::Stop() {
  Unregister();
  if (server_) server_->Stop();
  // The families' threads (the fax engine) stop once no call can reach them.
  if (families_started_)
    for (auto it = families_.rbegin(); it != families_.rend(); ++it) (*it)->Stop();
  families_started_ = false;
  if (epm_) epm_->Stop();
  server_.reset();
  epm_.reset();
  control_.reset();
  main_.reset();
  service_.reset();
  families_.clear();
  context_ = ServerContext{};
  store_.reset();
  if (temporary_data_dir_) {
    std::error_code ec;
    std::filesystem::remove_all(data_dir_, ec);
    temporary_data_dir_ = false;
  }
}

}  // namespace qz::faxd
