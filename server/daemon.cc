// daemon.cc -- start and stop of the stand-in fax server.
#include "server/daemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "interfaces/interfaces.h"

namespace qz::faxd {
namespace {

constexpr const char kAnnotation[] = "qzfaxd";

}  // namespace

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
  data_dir_ = options_.data_dir;
  if (data_dir_.empty() && options_.db_path != ":memory:" && !options_.db_path.empty())
    data_dir_ = options_.db_path + ".data";
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
