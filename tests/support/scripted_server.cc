// scripted_server.cc -- the scripted in-process server and the qzfaxd child.
#include "tests/support/scripted_server.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qz::test_support {
namespace {

void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutText(std::vector<uint8_t>& b, size_t off, size_t width, const std::string& s) {
  std::memset(&b[off], 0, width);
  std::memcpy(&b[off], s.data(), std::min(s.size(), width - 1));
}

std::string MakeTempDir(const char* prefix) {
  std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
  if (mkdtemp(tmpl.data()) == nullptr) return "";
  return tmpl;
}

const rpc::ProcDesc* ProcOf(Iface iface, uint16_t opnum) {
  const ifc::InterfaceDesc& d =
      iface == Iface::kMain ? ifc::MainInterface() : ifc::ServiceControlInterface();
  return opnum < d.count ? &d.procs[opnum] : nullptr;
}

// The recorder of the call running on this thread (set by the dispatcher
// wrapper, filled by the handler it reaches).
thread_local RecordedCall* t_current = nullptr;

}  // namespace

Action Action::Call(Handler h) {
  Action a;
  a.kind = Kind::kHandler;
  a.handler = [h = std::move(h)](const rpc::CallContext&, rpc::ServerArgs& args) {
    return h(args);
  };
  return a;
}
Action Action::CallWithContext(ContextHandler h) {
  Action a;
  a.kind = Kind::kHandler;
  a.handler = std::move(h);
  return a;
}
Action Action::Status(int32_t status) {
  Action a;
  a.kind = Kind::kStatus;
  a.status = status;
  return a;
}
Action Action::Fault(uint32_t status) {
  Action a;
  a.kind = Kind::kFault;
  a.fault = status;
  return a;
}
Action Action::Drop() {
  Action a;
  a.kind = Kind::kDrop;
  return a;
}

std::vector<uint8_t> MakeKey(const std::string& user, int32_t session) {
  std::vector<uint8_t> k(24, 0);
  PutText(k, 0, 20, user);
  PutU32(k, 20, static_cast<uint32_t>(session));
  return k;
}

void FillServerInfo(const LoginProfile& p, std::vector<uint8_t>* info) {
  info->assign(1680, 0);
  std::vector<uint8_t>& b = *info;
  PutU32(b, 0, 0x00010000);
  PutText(b, 4, 31, p.host);
  PutText(b, 35, 20, p.server_name);
  PutText(b, 55, 31, "scripted 1.0");
  PutText(b, 86, 20, "test");
  PutText(b, 106, 65, "scripted test server");
  PutU32(b, 684, static_cast<uint32_t>(p.session));
  b[708] = 1;
  PutText(b, 709, 20, p.user);
  PutText(b, 729, 32, p.user);
  for (int i = 0; i < 4; ++i) PutU32(b, 1664 + 4 * i, p.rights[i]);
}

// Wraps an InterfaceServer: records the raw request, then lets the
// interface server decode it and run the handler, which completes the record.
class ScriptedServer::Recorder : public rpc::Dispatcher {
 public:
  Recorder(ScriptedServer* owner, Iface iface, ifc::InterfaceServer* inner)
      : owner_(owner), iface_(iface), inner_(inner) {}
  uint16_t ProcedureCount() const override { return inner_->ProcedureCount(); }
  rpc::DispatchResult Dispatch(const rpc::CallContext& ctx, uint16_t opnum,
                               std::span<const uint8_t> stub, rpc::Drep drep) override {
    RecordedCall call;
    call.iface = iface_;
    call.opnum = opnum;
    call.stub.assign(stub.begin(), stub.end());
    call.ctx = ctx;
    t_current = &call;
    rpc::DispatchResult r = inner_->Dispatch(ctx, opnum, stub, drep);
    t_current = nullptr;
    {
      std::lock_guard<std::mutex> lock(owner_->mu_);
      owner_->calls_.push_back(std::move(call));
    }
    owner_->calls_cv_.notify_all();
    return r;
  }

 private:
  ScriptedServer* owner_;
  Iface iface_;
  ifc::InterfaceServer* inner_;
};

ScriptedServer::ScriptedServer() = default;

ScriptedServer::~ScriptedServer() { Stop(); }

std::string ScriptedServer::TcpStringBinding() const {
  return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(tcp_port_) + "]";
}
std::string ScriptedServer::LocalStringBinding() const {
  return "ncalrpc:[" + local_endpoint_ + "]";
}

void ScriptedServer::SetEnv(const char* name, const std::string& value) {
  if (!saved_env_.count(name)) {
    const char* old = getenv(name);
    saved_env_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  setenv(name, value.c_str(), 1);
}

void ScriptedServer::RestoreEnv() {
  for (auto& [name, value] : saved_env_) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
  saved_env_.clear();
}

bool ScriptedServer::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    Stop();
    return false;
  };
  dir_ = MakeTempDir("qzscripted");
  if (dir_.empty()) return fail(std::string("mkdtemp: ") + std::strerror(errno));
  // The server and the mapper fix their ncalrpc directory when created.
  SetEnv("QZRPC_LRPC_DIR", dir_);

  main_ = std::make_unique<ifc::InterfaceServer>(ifc::MainInterface());
  control_ = std::make_unique<ifc::InterfaceServer>(ifc::ServiceControlInterface());
  for (Iface iface : {Iface::kMain, Iface::kServiceControl}) {
    ifc::InterfaceServer* is = iface == Iface::kMain ? main_.get() : control_.get();
    for (uint16_t op = 0; op < is->ProcedureCount(); ++op) {
      is->SetHandler(op, [this, iface, op](const rpc::CallContext& ctx, rpc::ServerArgs& args) {
        return Run(iface, op, ctx, args);
      });
    }
  }
  main_recorder_ = std::make_unique<Recorder>(this, Iface::kMain, main_.get());
  control_recorder_ = std::make_unique<Recorder>(this, Iface::kServiceControl, control_.get());

  server_ = std::make_unique<rpc::Server>();
  server_->RegisterInterface(ifc::MainInterface().id, main_recorder_.get());
  server_->RegisterInterface(ifc::ServiceControlInterface().id, control_recorder_.get());
  tcp_port_ = server_->ListenTcp("127.0.0.1", 0);
  if (tcp_port_ == 0) return fail(std::string("listen tcp: ") + std::strerror(errno));
  if (!server_->ListenLocal(local_endpoint_))
    return fail(std::string("listen ncalrpc: ") + std::strerror(errno));
  server_->Start();

  epm_ = std::make_unique<rpc::EndpointMapperService>();
  if (!epm_->Start("127.0.0.1", 0, /*local_too=*/true))
    return fail(std::string("endpoint mapper: ") + std::strerror(errno));
  epm_port_ = epm_->tcp_port();
  for (const ifc::InterfaceDesc* d : {&ifc::MainInterface(), &ifc::ServiceControlInterface()}) {
    if (!epm_->mapper().Register(d->id, "ncacn_ip_tcp", std::to_string(tcp_port_), "scripted") ||
        !epm_->mapper().Register(d->id, "ncalrpc", local_endpoint_, "scripted"))
      return fail("endpoint registration failed");
  }
  SetEnv("QZRPC_EPM_PORT", std::to_string(epm_port_));
  return true;
}

void ScriptedServer::Stop() {
  if (server_) server_->Stop();
  if (epm_) epm_->Stop();
  server_.reset();
  epm_.reset();
  main_recorder_.reset();
  control_recorder_.reset();
  main_.reset();
  control_.reset();
  RestoreEnv();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    dir_.clear();
  }
  tcp_port_ = epm_port_ = 0;
}

void ScriptedServer::Set(uint16_t opnum, Action action, Iface iface) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[{static_cast<int>(iface), opnum}].persistent = std::move(action);
}

void ScriptedServer::Push(uint16_t opnum, Action action, Iface iface) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[{static_cast<int>(iface), opnum}].once.push_back(std::move(action));
}

void ScriptedServer::Clear(uint16_t opnum, Iface iface) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_.erase({static_cast<int>(iface), opnum});
}

void ScriptedServer::Delay(uint16_t opnum, std::chrono::milliseconds d, Iface iface) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[{static_cast<int>(iface), opnum}].persistent.delay = d;
}

void ScriptedServer::SetLoginProfile(const LoginProfile& profile) {
  std::lock_guard<std::mutex> lock(mu_);
  profile_ = profile;
}

LoginProfile ScriptedServer::login_profile() {
  std::lock_guard<std::mutex> lock(mu_);
  return profile_;
}

std::vector<RecordedCall> ScriptedServer::Calls() {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::vector<uint16_t> ScriptedServer::Opnums(Iface iface) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint16_t> ops;
  for (const RecordedCall& c : calls_)
    if (c.iface == iface) ops.push_back(c.opnum);
  return ops;
}

void ScriptedServer::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

bool ScriptedServer::WaitForCalls(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return calls_cv_.wait_for(lock, timeout, [&] { return calls_.size() >= n; });
}

int32_t ScriptedServer::Run(Iface iface, uint16_t opnum, const rpc::CallContext& ctx,
                            rpc::ServerArgs& args) {
  RecordedCall* rec = t_current;
  if (rec) {
    rec->decoded = true;
    rec->args = args;
  }
  Action action;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = scripts_.find({static_cast<int>(iface), opnum});
    if (it != scripts_.end()) {
      if (!it->second.once.empty()) {
        action = std::move(it->second.once.front());
        it->second.once.pop_front();
      } else {
        action = it->second.persistent;
      }
    }
  }
  if (action.delay.count() > 0) std::this_thread::sleep_for(action.delay);
  int32_t result = 1;
  switch (action.kind) {
    case Action::Kind::kDefault:
      result = DefaultAction(iface, opnum, args);
      break;
    case Action::Kind::kHandler:
      result = action.handler(ctx, args);
      break;
    case Action::Kind::kStatus:
      result = action.status;
      break;
    case Action::Kind::kFault:
      throw ifc::HandlerFault{action.fault};
    case Action::Kind::kDrop:
      throw ifc::DropConnection{};
  }
  if (rec) rec->result = result;
  return result;
}

int32_t ScriptedServer::DefaultAction(Iface iface, uint16_t opnum, rpc::ServerArgs& args) {
  if (iface != Iface::kMain || (opnum != 0 && opnum != 100)) return 1;
  const rpc::ProcDesc* proc = ProcOf(iface, opnum);
  if (args.values.size() < proc->param_count + 1u) args.values.resize(proc->param_count + 1u);
  LoginProfile p = login_profile();
  args[1].bytes = MakeKey(p.user, p.session);
  if (opnum == 100) {
    // The block goes back with the count the caller sent; a real server
    // fills 1680 bytes and keeps the rest zero.
    std::vector<uint8_t> info;
    FillServerInfo(p, &info);
    info.resize(static_cast<size_t>(std::max<int32_t>(0, args[2].number)), 0);
    args[3].bytes = std::move(info);
  }
  return 1;
}

// ------------------------------------------------------------ FaxdProcess

std::string DefaultFaxdPath() {
#ifdef QZ_TEST_QZFAXD_PATH
  return QZ_TEST_QZFAXD_PATH;
#else
  return "";
#endif
}

FaxdProcess::FaxdProcess() = default;

FaxdProcess::~FaxdProcess() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool FaxdProcess::Start(const Options& options, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    Stop();
    return false;
  };
  if (pid_ > 0) return fail("already running");
  std::string exe = options.executable.empty() ? DefaultFaxdPath() : options.executable;
  if (exe.empty()) return fail("no qzfaxd executable");
  if (dir_.empty()) dir_ = MakeTempDir("qzfaxd");
  if (dir_.empty()) return fail(std::string("mkdtemp: ") + std::strerror(errno));

  std::vector<std::string> argv_s = {exe,          "--db",   database(), "--port", "0",
                                     "--epm-port", "0",      "--lrpc",   "qzfaxd"};
  argv_s.insert(argv_s.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  // The child's environment: ours, with its own ncalrpc directory.
  std::vector<std::string> env_s;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "QZRPC_LRPC_DIR=", 15) == 0) continue;
    env_s.push_back(*e);
  }
  env_s.push_back("QZRPC_LRPC_DIR=" + dir_);
  std::vector<char*> envp;
  for (std::string& s : env_s) envp.push_back(s.data());
  envp.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  std::string log_path = dir_ + "/qzfaxd.log";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return fail("posix_spawn " + exe + ": " + std::strerror(rc));
  }
  pid_ = pid;
  stdout_fd_ = out[0];

  // Read the ready line.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + options.ready_timeout;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return fail("no ready line; log: " + ReadLog());
    pollfd pfd{stdout_fd_, POLLIN, 0};
    int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) continue;
    char buf[256];
    ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n <= 0) return fail("qzfaxd exited before it was ready; log: " + ReadLog());
    line.append(buf, static_cast<size_t>(n));
  }
  line.resize(line.find('\n'));
  unsigned tcp = 0, epm = 0;
  char name[128] = {};
  if (std::sscanf(line.c_str(), "qzfaxd ready tcp=%u lrpc=%127s epm=%u", &tcp, name, &epm) != 3)
    return fail("unexpected ready line: " + line);
  tcp_port_ = static_cast<uint16_t>(tcp);
  epm_port_ = static_cast<uint16_t>(epm);
  local_endpoint_ = name;
  return true;
}

int FaxdProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (true) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
  return status;
}

void FaxdProcess::ApplyEnvironment() {
  setenv("QZRPC_LRPC_DIR", dir_.c_str(), 1);
  setenv("QZRPC_EPM_PORT", std::to_string(epm_port_).c_str(), 1);
}

std::string FaxdProcess::ReadLog() const {
  std::ifstream in(dir_ + "/qzfaxd.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace qz::test_support
