// qzfaxd_main.cc -- the qzfaxd executable: options, logging, signals.
//
// Prints "qzfaxd ready tcp=<port> lrpc=<endpoint> epm=<port>" on stdout
// once it listens and its endpoints are registered; stops cleanly on
// SIGTERM or SIGINT (both are blocked in every thread and taken with
// sigwait by the main thread, so no handler runs in signal context).
//
// Two other modes do their work and exit: --check-config reports every
// problem of the options and of the files they name (exit 0 when none,
// else 1) and writes nothing; --add-admin LOGIN makes a local OS account an
// administrator in the database (the service's first administrator).
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
      "Usage: qzfaxd [options]\n"
      "  or:  qzfaxd --check-config [options]\n"
      "  or:  qzfaxd [--db PATH] --add-admin LOGIN\n"
      "\n"
      "Options:\n"
      "  --db PATH          database file (default $XDG_DATA_HOME/qzfaxd/qzfaxd.db or\n"
      "                     ~/.local/share/qzfaxd/qzfaxd.db; \":memory:\" keeps nothing)\n"
      "  --listen HOST      TCP address to listen on (default 127.0.0.1)\n"
      "  --port N           TCP port (default 0: a free port)\n"
      "  --lrpc NAME        ncalrpc endpoint name (default qzfaxd-<pid>)\n"
      "  --no-lrpc          do not listen on ncalrpc\n"
      "  --epm-port N       endpoint mapper TCP port (default $QZRPC_EPM_PORT or 135)\n"
      "  --no-epm           register with a running endpoint mapper (ept_insert)\n"
      "                     instead of embedding one\n"
      "  --tcp-user ID      user that a TCP login maps to (default guest, a user\n"
      "                     without rights; --tcp-user admin gives TCP callers\n"
      "                     the administrator)\n"
      "  --no-tcp-login     refuse logins over TCP\n"
      "  --session-idle S   end sessions unused for S seconds (default 28800; 0 never)\n"
      "  --max-log-rows N   rows the user log keeps, oldest pruned (default 1000000)\n"
      "  --max-reply-bytes N  largest user-log answer (default 4194304)\n"
      "  --no-register      do not register unknown local OS users\n"
      "  --data-dir DIR     the server's own files (default <db>.data, or a\n"
      "                     temporary directory for \":memory:\")\n"
      "  --spool-dir DIR    TCP callers may name files only inside DIR\n"
      "  --lines N          simulated fax lines (default 2)\n"
      "  --first-number N   number of the first simulated line (default 8001)\n"
      "  --page-ms N        time one page takes on a line (default 6000)\n"
      "  --connect-ms N     time until the far end answers (default 3000)\n"
      "  --retry-ms N       wait before another attempt (default 60000)\n"
      "  --check-config     check the options, the database and the directories they\n"
      "                     name, print each problem, exit 0 when there is none (else\n"
      "                     1); writes nothing\n"
      "  --add-admin LOGIN  make the local OS account LOGIN an administrator (a user\n"
      "                     of its name, type 1, all rights, mapped to it) in the\n"
      "                     database, then exit; run it as the database's owner\n"
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

bool ParseCount(const char* text, uint32_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v > 100000000) return false;
  *out = static_cast<uint32_t>(v);
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

// The default database path; its directory is made when `create`.
std::optional<std::string> DefaultDatabase(bool create) {
  std::string dir;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) {
    dir = std::string(x) + "/qzfaxd";
  } else if (auto home = HomeDirectory()) {
    dir = *home + "/.local/share/qzfaxd";
  } else {
    return std::nullopt;
  }
  if (create && !MakeDirectories(dir)) return std::nullopt;
  return dir + "/qzfaxd.db";
}

// What the command line asks for. Bad values and unknown options are
// collected in `problems` rather than ending the parse, so --check-config
// can list them all.
struct CommandLine {
  qz::faxd::DaemonOptions opt;
  std::optional<std::string> db;
  bool help = false;
  bool check_config = false;
  bool unknown_option = false;
  std::optional<std::string> add_admin;
  std::vector<std::string> problems;
};

CommandLine Parse(int argc, char** argv) {
  CommandLine cl;
  qz::faxd::DaemonOptions& opt = cl.opt;
  opt.epm_port = qz::rpc::EndpointMapperPort();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto bad = [&](const std::string& what) {
      cl.problems.push_back("bad value for " + a + ": \"" + argv[i] + "\" (" + what + ")");
    };
    static const char* const kTakesValue[] = {
        "--db", "--listen", "--port", "--lrpc", "--epm-port", "--tcp-user", "--session-idle",
        "--max-log-rows", "--max-reply-bytes", "--data-dir", "--spool-dir", "--lines",
        "--first-number", "--page-ms", "--connect-ms", "--retry-ms", "--add-admin"};
    if (std::find(std::begin(kTakesValue), std::end(kTakesValue), a) != std::end(kTakesValue)) {
      if (i + 1 >= argc) {
        cl.problems.push_back(a + " needs a value");
        break;
      }
      ++i;
    }
    const char* v = argv[i];
    if (a == "--db") {
      cl.db = v;
    } else if (a == "--listen") {
      opt.listen_host = v;
    } else if (a == "--port" || a == "--epm-port") {
      if (!ParsePort(v, a == "--port" ? &opt.port : &opt.epm_port)) bad("a port, 0..65535");
    } else if (a == "--lrpc") {
      opt.local_endpoint = v;
    } else if (a == "--no-lrpc") {
      opt.listen_local = false;
    } else if (a == "--no-epm") {
      opt.embedded_epm = false;
    } else if (a == "--tcp-user") {
      opt.service.tcp_user = v;
    } else if (a == "--no-tcp-login") {
      opt.service.tcp_user.clear();
    } else if (a == "--session-idle" || a == "--max-log-rows" || a == "--max-reply-bytes") {
      char* end = nullptr;
      errno = 0;
      long long n = std::strtoll(v, &end, 10);
      if (errno != 0 || end == v || *end != '\0' || n < 0) {
        bad("a number, 0 or more");
        continue;
      }
      if (a == "--session-idle") opt.service.session_idle_seconds = n;
      else if (a == "--max-log-rows") opt.store.max_user_log_rows = n;
      else opt.service.max_reply_bytes = static_cast<size_t>(n);
    } else if (a == "--no-register") {
      opt.service.register_local_users = false;
    } else if (a == "--data-dir") {
      opt.data_dir = v;
    } else if (a == "--spool-dir") {
      opt.spool_dir = v;
    } else if (a == "--lines" || a == "--first-number" || a == "--page-ms" ||
               a == "--connect-ms" || a == "--retry-ms") {
      uint32_t n = 0;
      if (!ParseCount(v, &n) || (a == "--lines" && n > 64)) {
        bad(a == "--lines" ? "0..64" : "0..100000000");
        continue;
      }
      qz::faxd::SendSimulation& sim = opt.send_simulation;
      (a == "--lines"          ? sim.lines
       : a == "--first-number" ? sim.first_number
       : a == "--page-ms"      ? sim.page_ms
       : a == "--connect-ms"   ? sim.connect_ms
                               : sim.retry_ms) = n;
    } else if (a == "--check-config") {
      cl.check_config = true;
    } else if (a == "--add-admin") {
      cl.add_admin = v;
    } else if (a == "--help" || a == "-h") {
      cl.help = true;
    } else {
      cl.problems.push_back("unknown option " + a);
      cl.unknown_option = true;
    }
  }
  return cl;
}

// --check-config: the command line's problems, then those of the files.
int CheckConfig(CommandLine& cl) {
  std::vector<std::string> problems = cl.problems;
  if (!cl.db) cl.db = DefaultDatabase(false);
  if (!cl.db) {
    problems.push_back("no database path (set --db, XDG_DATA_HOME or HOME)");
  } else {
    cl.opt.db_path = *cl.db;
    for (std::string& p : qz::faxd::CheckConfig(cl.opt)) problems.push_back(std::move(p));
  }
  for (const std::string& p : problems) std::printf("qzfaxd: %s\n", p.c_str());
  if (problems.empty()) std::printf("qzfaxd: configuration is fine\n");
  return problems.empty() ? 0 : 1;
}

// --add-admin LOGIN, as the owner of the database (a file made by another
// account, root in particular, would lock the service out of it).
int AddAdmin(CommandLine& cl) {
  const std::string& login = *cl.add_admin;
  if (getpwnam(login.c_str()) == nullptr) {
    std::fprintf(stderr, "qzfaxd: %s is not an account of this system\n", login.c_str());
    return 1;
  }
  // The database file, or for a new one the directory it goes in.
  struct stat st;
  std::string owned = cl.opt.db_path;
  if (::stat(owned.c_str(), &st) != 0) {
    size_t slash = owned.find_last_of('/');
    owned = slash == std::string::npos ? "." : owned.substr(0, slash + 1);
  }
  if (cl.opt.db_path != ":memory:" && ::stat(owned.c_str(), &st) == 0 && st.st_uid != geteuid()) {
    std::fprintf(stderr,
                 "qzfaxd: %s belongs to uid %u; run this as that account (e.g. runuser -u "
                 "<account> -- qzfaxd ...)\n",
                 owned.c_str(), static_cast<unsigned>(st.st_uid));
    return 1;
  }
  std::string error;
  auto store = qz::faxd::Store::Open(cl.opt.db_path, cl.opt.store, &error);
  if (!store) {
    std::fprintf(stderr, "qzfaxd: database %s: %s\n", cl.opt.db_path.c_str(), error.c_str());
    return 1;
  }
  std::string message;
  bool ok = qz::faxd::AddAdministrator(store.get(), login, &message);
  std::fprintf(ok ? stdout : stderr, "qzfaxd: %s\n", message.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine cl = Parse(argc, argv);
  qz::faxd::DaemonOptions& opt = cl.opt;
  opt.log = LogLine;
  // User-log rows go to disk in batches (see the durability note in store.h).
  opt.store.batch_user_log = true;
  if (cl.help) {
    Usage(stdout);
    return 0;
  }
  if (cl.check_config) return CheckConfig(cl);
  if (!cl.problems.empty()) {
    for (const std::string& p : cl.problems) std::fprintf(stderr, "qzfaxd: %s\n", p.c_str());
    if (cl.unknown_option) Usage(stderr);
    return 2;
  }
  std::optional<std::string>& db = cl.db;
  if (!db) db = DefaultDatabase(true);
  if (!db) {
    std::fprintf(stderr, "qzfaxd: no database path (set --db, XDG_DATA_HOME or HOME)\n");
    return 1;
  }
  opt.db_path = *db;
  // The database holds password hashes: keep it (and anything else we
  // create) private to the account.
  umask(077);
  if (auto me = qz::faxd::LookUpOsUser(static_cast<uint32_t>(geteuid()))) opt.store.os_user = *me;
  if (cl.add_admin) return AddAdmin(cl);
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
