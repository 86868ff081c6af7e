// The command-line tool: a front door to the library for people and scripts. Every subcommand
// lives in its own cmd_<name>.cpp; this file parses the command line and turns every failure
// into one line on standard error and a non-zero exit code.
#include <cstdio>
#include <exception>
#include <new>
#include <vector>

#include "commands.h"
#include "common.h"
#include "lyr/lyr.h"

int main(int argc, char** argv) {
  using namespace lyr::tool;
  CLI::App app{"Lyr9abAnim command-line tool: inspect, convert and render Vek scenes.", "lyr"};
  app.set_version_flag("--version", std::string("lyr ") + LYR_VERSION_STRING);
  app.require_subcommand(1);
  app.fallthrough(false);

  // One command per line, in the order --help lists them.
  // clang-format off
  const std::vector<Command> commands = {
      AddInfoCommand(app),
      AddConvertCommand(app),
      AddOptimizeCommand(app),
      AddTessellateCommand(app),
      AddDemoCommand(app),
      AddRenderCommand(app),
      AddImportCommand(app),
      AddLodCommand(app),
  };
  // clang-format on

  // CLI11 would report an unknown command as a missing one; name it instead.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const Command& command : commands) known = known || command.app->check_name(argv[1]);
    if (!known) {
      std::fprintf(stderr, "lyr: unknown command '%s' (lyr --help lists them)\n", argv[1]);
      return 2;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end here with code 0; a bad command line with CLI11's message and
    // exit code 2, the usual code for usage errors.
    return app.exit(e) == 0 ? 0 : 2;
  }
  for (const Command& command : commands) {
    if (!command.app->parsed()) continue;
    SetCommandName(command.app->get_name());
    try {
      return command.run();
    } catch (const Failure& f) {
      return ReportFailure(f.what());
    } catch (const std::bad_alloc&) {
      return ReportFailure("out of memory");
    } catch (const std::exception& e) {
      return ReportFailure(e.what());
    }
  }
  return 1;  // not reached: one subcommand is required
}
