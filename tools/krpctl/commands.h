// krpctl's command groups. Each group adds its subcommands to the
// application; a subcommand's callback stores the action to run once the
// whole command line was parsed, and the action's result is the exit status.
#ifndef KRP_TOOLS_KRPCTL_COMMANDS_H
#define KRP_TOOLS_KRPCTL_COMMANDS_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace krpctl {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitBad = 1;    // the store or the input is bad, or the operation failed
constexpr int kExitUsage = 2;  // the command line is wrong

using Action = std::function<int()>;

// "krpctl store ...": dump, verify, pack, copy (cmd_store.cc).
void AddStoreCommands(CLI::App &app, Action *action);
// "krpctl get | access | locale": resources through the library
// (cmd_resource.cc).
void AddResourceCommands(CLI::App &app, Action *action);
// "krpctl set | rm | mget | access set": writes, deletes and multiple
// reads through the library (cmd_write.cc). Added after the resource
// commands: "access set" hangs below their "access".
void AddWriteCommands(CLI::App &app, Action *action);
// "krpctl ls | find | tree": listings and enumeration (cmd_list.cc).
void AddListCommands(CLI::App &app, Action *action);
// "krpctl host": hosts the store in the foreground (cmd_host.cc).
void AddHostCommands(CLI::App &app, Action *action);
// "krpctl status | trace | obj | pack | copy | runtime-info": the running
// service (cmd_service.cc).
void AddServiceCommands(CLI::App &app, Action *action);
// "krpctl dump | load": resources as text (cmd_dump.cc, dump_text.h).
void AddDumpCommands(CLI::App &app, Action *action);

// "krpctl export": the blob of a container into a file (cmd_export.cc).
void AddExportCommands(CLI::App &app, Action *action);

// "krpctl watch": prints changes of resources until interrupted
// (cmd_watch.cc).
void AddWatchCommands(CLI::App &app, Action *action);

// Resource type words ("text", "image", ...) and their codes
// (cmd_resource.cc). TypeWordOf gives "unknown" for a code without a word.
const char *TypeWordOf(uint32_t code);
bool TypeCodeOf(const std::string &word, uint32_t *code);

// A result code as every krpctl message shows it: its meaning from the
// library's table, then the code, e.g. "not found (0x00370001)"
// (cmd_resource.cc).
std::string CodeText(uint32_t rc);
// "krpctl: WHAT NAME: <CodeText>" on standard error; returns kExitBad
// (cmd_resource.cc).
int Fail(const char *what, const std::string &name, uint32_t rc);
// The full name of a container's entry ("entry" at the top).
std::string FullName(const std::string &container, const std::string &entry);

// Serialised lists through the shared list format (list_text.cc).
// DecodeList keeps empty items; false when the bytes are not a list.
bool DecodeList(const void *buf, uint32_t size, std::vector<std::string> *items);
std::string EncodeList(const std::vector<std::string> &items);

}  // namespace krpctl

#endif  // KRP_TOOLS_KRPCTL_COMMANDS_H
