// qzfaxd_main.cc -- the qzfaxd executable: options, logging, signals.
//
// Prints "qzfaxd ready tcp=<port> lrpc=<endpoint> epm=<port>" on stdout
// once it listens and its endpoints are registered; stops cleanly on
// SIGTERM or SIGINT (both are blocked in every thread and taken with
// sigwait by the main thread, so no handler runs in signal context).
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "rpc/binding_api.h"
#include "server/daemon.h"

namespace {

std::mutex g_log_mu;

void LogLine(const std::string& line) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm_utc;
  gmtime_r(&now, &tm_utc);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
  std::lock_guard<std::mutex> lock(g_log_mu);
  std::fprintf(stderr, "%s qzfaxd: %s\n", stamp, line.c_str());
}

void Usage(FILE* out) {
  std::fputs(
      "usage: qzfaxd [options]\n"
      "  --db PATH          database file (default $XDG_DATA_HOME/qzfaxd/qzfaxd.db or\n"
      "                     ~/.local/share/qzfaxd/qzfaxd.db; \":memory:\" keeps nothing)\n"
      "  --listen HOST      TCP address to listen on (default 127.0.0.1)\n"
      "  --port N           TCP port (default 0: a free port)\n"
      "  --lrpc NAME        ncalrpc endpoint name (default qzfaxd-<pid>)\n"
      "  --no-lrpc          do not listen on ncalrpc\n"
      "  --epm-port N       endpoint mapper TCP port (default $QZRPC_EPM_PORT or 135)\n"
      "  --no-epm           register with a running endpoint mapper (ept_insert)\n"
      "                     instead of embedding one\n"
      "  --tcp-user ID      user that a TCP login maps to (default admin)\n"
      "  --no-tcp-login     refuse logins over TCP\n"
      "  --no-register      do not register unknown local OS users\n"
      "  --data-dir DIR     the server's own files (documents, cover pages, scripts)\n"
      "  --spool-dir DIR    TCP callers may name files only inside DIR\n"
      "  --help\n",
      out);
}

bool ParsePort(const char* text, uint16_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v > 65535) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

std::optional<std::string> HomeDirectory() {
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h);
  struct passwd* pw = getpwuid(geteuid());
  if (pw && pw->pw_dir) return std::string(pw->pw_dir);
  return std::nullopt;
}

// Creates every missing directory of `path` with mode 0700.
bool MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::optional<std::string> DefaultDatabase() {
  std::string dir;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) {
    dir = std::string(x) + "/qzfaxd";
  } else if (auto home = HomeDirectory()) {
    dir = *home + "/.local/share/qzfaxd";
  } else {
    return std::nullopt;
  }
  if (!MakeDirectories(dir)) return std::nullopt;
  return dir + "/qzfaxd.db";
}

}  // namespace

int main(int argc, char** argv) {
  qz::faxd::DaemonOptions opt;
  opt.log = LogLine;
  opt.epm_port = qz::rpc::EndpointMapperPort();
  std::optional<std::string> db;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qzfaxd: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--db") {
      db = value();
    } else if (a == "--listen") {
      opt.listen_host = value();
    } else if (a == "--port") {
      if (!ParsePort(value(), &opt.port)) {
        std::fprintf(stderr, "qzfaxd: bad port\n");
        return 2;
      }
    } else if (a == "--lrpc") {
      opt.local_endpoint = value();
    } else if (a == "--no-lrpc") {
      opt.listen_local = false;
    } else if (a == "--epm-port") {
      if (!ParsePort(value(), &opt.epm_port)) {
        std::fprintf(stderr, "qzfaxd: bad endpoint mapper port\n");
        return 2;
      }
    } else if (a == "--no-epm") {
      opt.embedded_epm = false;
    } else if (a == "--tcp-user") {
      opt.service.tcp_user = value();
    } else if (a == "--no-tcp-login") {
      opt.service.tcp_user.clear();
    } else if (a == "--no-register") {
      opt.service.register_local_users = false;
    } else if (a == "--data-dir") {
      opt.data_dir = value();
    } else if (a == "--spool-dir") {
      opt.spool_dir = value();
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "qzfaxd: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (!db) db = DefaultDatabase();
  if (!db) {
    std::fprintf(stderr, "qzfaxd: no database path (set --db, XDG_DATA_HOME or HOME)\n");
    return 1;
  }
  opt.db_path = *db;
  // The database holds password hashes: keep it (and anything else we
  // create) private to the account.
  umask(077);
  if (auto me = qz::faxd::LookUpOsUser(static_cast<uint32_t>(geteuid()))) opt.store.os_user = *me;
  if (!opt.embedded_epm) {
    // The runtime's ept_insert reaches the mapper on this port. Set while
    // the process has one thread only.
    setenv("QZRPC_EPM_PORT", std::to_string(opt.epm_port).c_str(), 1);
  }

  // Block the stop signals before any thread starts so that every thread
  // inherits the mask and only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qz::faxd::Daemon daemon(opt);
  std::string error;
  if (!daemon.Start(&error)) {
    LogLine("cannot start: " + error);
    return 1;
  }
  LogLine("database " + opt.db_path);
  std::printf("qzfaxd ready tcp=%u lrpc=%s epm=%u\n", daemon.tcp_port(),
              daemon.local_endpoint().empty() ? "-" : daemon.local_endpoint().c_str(),
              daemon.epm_port());
  std::fflush(stdout);

  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  LogLine(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
  daemon.Stop();
  LogLine("stopped");
  return 0;
}
