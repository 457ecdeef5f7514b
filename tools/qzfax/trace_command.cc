// trace_command.cc -- "qzfax trace" (being written: only the command's place).
#include "trace_command.h"

#include <cstdio>

namespace qzfax {

void AddTraceCommand(CLI::App& root, const bool& /*json*/, int& exit_status) {
  CLI::App* trace = root.add_subcommand("trace", "Read the call trace log qzlogfile.qzx");
  trace->callback([&exit_status] {
    std::fputs("qzfax trace: not available in this build\n", stderr);
    exit_status = 2;
  });
}

}  // namespace qzfax
