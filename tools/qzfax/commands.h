// commands.h -- the families of qzfax subcommands, one source file each.
//
// Thread-safety: single-threaded, as the command line is.
#ifndef QZFAX_COMMANDS_H_
#define QZFAX_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace qzfax {

void AddSendCommands(CLI::App& root);     // send, queue, drafts (send_cmd.cc)
void AddStoreCommands(CLI::App& root);    // inbox/messages, addressbook (store_cmd.cc)
void AddUserCommands(CLI::App& root);     // users, departments (users_cmd.cc)
void AddLineCommands(CLI::App& root);     // lines, devices, scripts, dialrules, routing,
                                          // authorization, printers (lines_cmd.cc)
void AddDialingCommands(CLI::App& root);  // prefixes, limits, autorecv (dialing_cmd.cc)
void AddAdminCommands(CLI::App& root);    // log, config, reports, server (admin_cmd.cc)
void AddFileCommands(CLI::App& root);     // coverpages, the files of scripts (files_cmd.cc;
                                          // after AddLineCommands, which makes "scripts")
void AddCompletionCommand(CLI::App& root);  // completion bash (completion.cc)

}  // namespace qzfax

#endif  // QZFAX_COMMANDS_H_
