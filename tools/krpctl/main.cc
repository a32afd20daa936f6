// krpctl: the command-line tool over krplib's files.
//
//   krpctl store dump FILE | verify FILE | pack FILE | copy FILE TARGET
//   krpctl get NAME [--type T] [--locale LL] [--raw] [--attr]
//   krpctl access NAME | access set CONTAINER XX
//   krpctl set NAME TYPE [VALUE] [--attr X] [--access XX] [--stamp N]
//   krpctl rm NAME [--type T]
//   krpctl mget NAME... [--attr]
//   krpctl ls CONTAINER [--level] [-l] | find CONTAINER RESOURCE VALUE | tree NAME [--depth N]
//   krpctl locale
//   krpctl dump [PREFIX] | load FILE --policy defaults|overwrite|newer
//   krpctl export NAME FILE [--force]
//   krpctl merge FILE --policy defaults|overwrite|newer [--strip P] [--prefix P]
//                [--delete-list] [--full-names]
//   krpctl host [--root DIR]
//   krpctl status
//   krpctl trace on|off [--flags LIST] [--process PID] [--thread TID] [--name NAME]
//   krpctl obj get|put|rm|info NAME | obj ls [PATTERN] [--long]
//   krpctl pack | copy TARGET | runtime-info [--stylesheet REF] [--schema]
//
// Exit status: 0 success, 1 bad store or input (or a failed operation), 2
// usage error. Every command and group answers --help.
#include <cstdio>
#include <exception>

#include "commands.h"

int main(int argc, char **argv) {
  CLI::App app{"krpctl: inspect and maintain krplib store files", "krpctl"};
  app.require_subcommand(1);
  krpctl::Action action;
  krpctl::AddStoreCommands(app, &action);
  krpctl::AddResourceCommands(app, &action);
  krpctl::AddWriteCommands(app, &action);
  krpctl::AddListCommands(app, &action);
  krpctl::AddHostCommands(app, &action);
  krpctl::AddServiceCommands(app, &action);
  krpctl::AddWatchCommands(app, &action);
  krpctl::AddDumpCommands(app, &action);
  krpctl::AddExportCommands(app, &action);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int rc = app.exit(e);  // prints the help or the error
    return rc == 0 ? krpctl::kExitOk : krpctl::kExitUsage;
  }
  if (!action) return krpctl::kExitUsage;
  try {
    return action();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "krpctl: %s\n", e.what());
    return krpctl::kExitBad;
  }
}
