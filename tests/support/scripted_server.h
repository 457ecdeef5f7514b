// scripted_server.h -- in-process fax server with scripted behaviour, and a
// helper that runs a real qzfaxd child, for the library's tests.
//
// ScriptedServer runs our RPC runtime in the test process: an rpc::Server
// on 127.0.0.1 (a free port) and on the ncalrpc endpoint "qzfaxd" in a
// fresh temporary directory, plus an embedded endpoint mapper on a free
// TCP port and on ncalrpc "epmapper" in the same directory, with both fax
// interfaces registered. Start() points this process's environment at it
// (QZRPC_LRPC_DIR, QZRPC_EPM_PORT) so that the library's endpoint
// resolution finds it; Stop() restores the previous values. The runtime
// reads both variables whenever it needs them (nothing is cached), except
// that an rpc::Server fixes its ncalrpc directory when it is constructed.
//
// Behaviour per opnum and interface: a handler, a status, a fault, a
// dropped connection, each optionally after a delay; persistent (Set) or
// one-shot (Push, consumed in order before the persistent one). Without a
// script, the main interface answers rpcLogInServer (100) and
// rpcConnectServer (0) like a real server (key and SERVERINFO from the
// LoginProfile, every right set) and every other procedure with 1;
// the service-control interface answers 1.
//
// Every call is recorded in arrival order: interface, opnum, the raw
// request stub bytes, the decoded arguments as they arrived, the caller.
//
// Thread-safety: scripting, Calls() and ClearCalls() may be used from any
// thread while calls run. Start() and Stop() change the process
// environment: call them from the test's main thread while no other
// thread makes RPC calls.
#ifndef QZ_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define QZ_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/interface_server.h"
#include "interfaces/interfaces.h"
#include "rpc/epm.h"
#include "rpc/proc.h"
#include "rpc/server.h"

namespace qz::test_support {

enum class Iface { kMain, kServiceControl };

using Handler = std::function<int32_t(rpc::ServerArgs& args)>;
using ContextHandler =
    std::function<int32_t(const rpc::CallContext& ctx, rpc::ServerArgs& args)>;

// What the server does with one call.
struct Action {
  enum class Kind { kDefault, kHandler, kStatus, kFault, kDrop };
  Kind kind = Kind::kDefault;
  ContextHandler handler;
  int32_t status = 1;
  uint32_t fault = 0;
  std::chrono::milliseconds delay{0};

  static Action Default() { return Action{}; }
  static Action Call(Handler h);
  static Action CallWithContext(ContextHandler h);
  static Action Status(int32_t status);
  static Action Fault(uint32_t status);  // fault PDU with this status
  static Action Drop();                  // close the connection, no answer
  Action& After(std::chrono::milliseconds d) {
    delay = d;
    return *this;
  }
};

struct RecordedCall {
  Iface iface = Iface::kMain;
  uint16_t opnum = 0;
  std::vector<uint8_t> stub;    // request stub data as it arrived
  bool decoded = false;         // false: the request did not decode (faulted 1783)
  rpc::ServerArgs args;         // decoded arguments before the action ran
  rpc::CallContext ctx;
  std::optional<int32_t> result;  // the status answered, if one was
};

// What the default login responder hands out.
struct LoginProfile {
  std::string user = "tester";          // SESSIONKEY.szUserID and SERVERINFO+709
  int32_t session = 4711;               // SESSIONKEY.dwSessionNo and SERVERINFO+684
  std::array<uint32_t, 4> rights = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  std::string host = "127.0.0.1";       // SERVERINFO+4
  std::string server_name = "scripted"; // SERVERINFO+35
};

// Fills a 1680-byte SERVERINFO as a real server does (resizes *info).
void FillServerInfo(const LoginProfile& profile, std::vector<uint8_t>* info);
// A 24-byte SESSIONKEY.
std::vector<uint8_t> MakeKey(const std::string& user, int32_t session);

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();  // Stop()
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Starts everything and sets the environment; false (with *error) on failure.
  bool Start(std::string* error = nullptr);
  void Stop();

  uint16_t tcp_port() const { return tcp_port_; }
  uint16_t epm_port() const { return epm_port_; }
  const std::string& local_endpoint() const { return local_endpoint_; }  // "qzfaxd"
  const std::string& lrpc_directory() const { return dir_; }
  // "ncacn_ip_tcp:127.0.0.1[port]" and "ncalrpc:[qzfaxd]".
  std::string TcpStringBinding() const;
  std::string LocalStringBinding() const;

  // Scripting. Set replaces the persistent action, Push queues a one-shot
  // action; Clear drops both (back to the default).
  void Set(uint16_t opnum, Action action, Iface iface = Iface::kMain);
  void Push(uint16_t opnum, Action action, Iface iface = Iface::kMain);
  void Clear(uint16_t opnum, Iface iface = Iface::kMain);
  // Shorthands for Set.
  void OnCall(uint16_t opnum, Handler h, Iface iface = Iface::kMain) {
    Set(opnum, Action::Call(std::move(h)), iface);
  }
  void Return(uint16_t opnum, int32_t status, Iface iface = Iface::kMain) {
    Set(opnum, Action::Status(status), iface);
  }
  void Fault(uint16_t opnum, uint32_t status, Iface iface = Iface::kMain) {
    Set(opnum, Action::Fault(status), iface);
  }
  void Drop(uint16_t opnum, Iface iface = Iface::kMain) { Set(opnum, Action::Drop(), iface); }
  // Delays the current persistent action of opnum (the default too).
  void Delay(uint16_t opnum, std::chrono::milliseconds d, Iface iface = Iface::kMain);

  void SetLoginProfile(const LoginProfile& profile);
  LoginProfile login_profile();

  // Recorded calls, in arrival order.
  std::vector<RecordedCall> Calls();
  std::vector<uint16_t> Opnums(Iface iface = Iface::kMain);
  void ClearCalls();
  // Waits until at least n calls were recorded; false on timeout.
  bool WaitForCalls(size_t n, std::chrono::milliseconds timeout);

 private:
  class Recorder;
  struct Script {
    Action persistent;
    std::deque<Action> once;
  };
  using ScriptKey = std::pair<int, uint16_t>;

  int32_t Run(Iface iface, uint16_t opnum, const rpc::CallContext& ctx, rpc::ServerArgs& args);
  int32_t DefaultAction(Iface iface, uint16_t opnum, rpc::ServerArgs& args);
  void SetEnv(const char* name, const std::string& value);
  void RestoreEnv();

  std::mutex mu_;
  std::condition_variable calls_cv_;
  std::map<ScriptKey, Script> scripts_;
  LoginProfile profile_;
  std::vector<RecordedCall> calls_;

  std::unique_ptr<ifc::InterfaceServer> main_;
  std::unique_ptr<ifc::InterfaceServer> control_;
  std::unique_ptr<Recorder> main_recorder_;
  std::unique_ptr<Recorder> control_recorder_;
  std::unique_ptr<rpc::Server> server_;
  std::unique_ptr<rpc::EndpointMapperService> epm_;
  uint16_t tcp_port_ = 0;
  uint16_t epm_port_ = 0;
  std::string local_endpoint_ = "qzfaxd";
  std::string dir_;
  std::map<std::string, std::optional<std::string>> saved_env_;
};

// A real qzfaxd child process on free ports with a database in a fresh
// temporary directory (also its ncalrpc directory).
class FaxdProcess {
 public:
  struct Options {
    std::string executable;          // empty: the qzfaxd built with the tests
    std::vector<std::string> extra_args;
    std::chrono::milliseconds ready_timeout{10000};
  };
  FaxdProcess();
  ~FaxdProcess();  // Stop()
  FaxdProcess(const FaxdProcess&) = delete;
  FaxdProcess& operator=(const FaxdProcess&) = delete;

  // Spawns qzfaxd and waits for its "ready" line.
  bool Start(const Options& options, std::string* error = nullptr);
  bool Start(std::string* error = nullptr) { return Start(Options{}, error); }
  // SIGTERM, then waits (SIGKILL after 10 s). Returns the exit status as
  // waitpid reports it, or -1 when nothing was running.
  int Stop();

  // Points this process's environment at the child (QZRPC_LRPC_DIR,
  // QZRPC_EPM_PORT); same rules as ScriptedServer::Start, but nothing is
  // restored afterwards.
  void ApplyEnvironment();

  pid_t pid() const { return pid_; }
  uint16_t tcp_port() const { return tcp_port_; }
  uint16_t epm_port() const { return epm_port_; }
  const std::string& local_endpoint() const { return local_endpoint_; }
  const std::string& directory() const { return dir_; }
  std::string database() const { return dir_ + "/qzfaxd.db"; }
  std::string ReadLog() const;  // the child's stderr so far

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  uint16_t tcp_port_ = 0;
  uint16_t epm_port_ = 0;
  std::string local_endpoint_;
  std::string dir_;
};

// The qzfaxd executable built alongside the tests ("" when none was).
std::string DefaultFaxdPath();

}  // namespace qz::test_support

#endif  // QZ_TESTS_SUPPORT_SCRIPTED_SERVER_H_
