// parvula-cli: the imaging library from the command line. Exit status 0 on
// success, 1 when a file failed, 2 on a usage error.
#include "commands.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  CLI::App app{"Reads, describes and converts image files."};
  app.name("parvula-cli");
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("parvula-cli ") + PARVULA_VERSION);

  int exit_code = kExitOk;
  add_info_command(app, exit_code);
  add_convert_command(app, exit_code);
  add_email_command(app, exit_code);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e); // --help
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return exit_code;
}
