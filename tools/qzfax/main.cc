// main.cc -- qzfax, the command line on libqzcsif: argument parsing and the
// subcommands' registration.
//
// Thread-safety: single-threaded.
#include <CLI/CLI.hpp>

#include "trace_command.h"

int main(int argc, char** argv) {
  CLI::App app{"qzfax -- work with a fax server from the shell"};
  app.require_subcommand(1);
  bool json = false;
  app.add_flag("--json", json, "Print one JSON document instead of tables");
  int exit_status = 0;
  qzfax::AddTraceCommand(app, json, exit_status);
  CLI11_PARSE(app, argc, argv);
  return exit_status;
}
