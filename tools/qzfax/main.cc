// main.cc -- qzfax, the command line on libqzcsif: the global options and
// the subcommands' registration. Each family of subcommands lives in its
// own file (commands.h) on the shared frame (frame.h).
//
// Thread-safety: single-threaded.
#include <CLI/CLI.hpp>
#include <string>

#include "commands.h"
#include "frame.h"
#include "trace_command.h"

int main(int argc, char** argv) {
  CLI::App app{
      "qzfax -- work with a fax server from the shell: send faxes, follow the queue, read "
      "received messages and administer the server (users, lines, routing, logs, "
      "configuration, reports)."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qzfax ") + QZFAX_VERSION,
                       "Print the version and exit");
  qzfax::Globals& g = qzfax::Global();
  app.add_flag("--json", g.json, "Print one JSON document instead of tables");
  app.add_option("--server", g.server,
                 "Host of the fax server for \"server start\" and \"server caps\" (the "
                 "session commands log in to the fax server on this computer)")
      ->capture_default_str();
  app.add_option("--transport", g.transport,
                 "Protocol sequence of the login: local (ncalrpc) or tcp (ncacn_ip_tcp); "
                 "default: local, then tcp")
      ->check(CLI::IsMember({"local", "tcp"}));
  int& exit_status = qzfax::ExitStatus();
  qzfax::AddSendCommands(app);
  qzfax::AddStoreCommands(app);
  qzfax::AddUserCommands(app);
  qzfax::AddLineCommands(app);
  qzfax::AddDialingCommands(app);
  qzfax::AddAdminCommands(app);
  qzfax::AddFileCommands(app);
  qzfax::AddTraceCommand(app, g.json, exit_status);
  qzfax::AddCompletionCommand(app);
  // The exit statuses, under every help text.
  app.footer(
      "Run \"qzfax COMMAND --help\" for a command's own options. Exit status: 0 success, "
      "1 local failure, 2 bad usage or input, 3 server unreachable or login refused, "
      "4 refused by the library, 5 access denied, 6 not found, 7 refused by the server, "
      "8 the fax waited for failed.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : qzfax::kExitUsage;
  }
  return exit_status;
}
