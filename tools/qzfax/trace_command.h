// trace_command.h -- "qzfax trace": the call trace log, readable.
//
// Thread-safety: single-threaded, as the command line is.
#ifndef QZFAX_TRACE_COMMAND_H_
#define QZFAX_TRACE_COMMAND_H_

#include <CLI/CLI.hpp>

namespace qzfax {

// Adds the "trace" subcommand to `root`. `json` is the global --json flag;
// when the subcommand has run, its exit status is left in `exit_status`.
void AddTraceCommand(CLI::App& root, const bool& json, int& exit_status);

}  // namespace qzfax

#endif  // QZFAX_TRACE_COMMAND_H_
