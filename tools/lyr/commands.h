// The subcommands of `lyr`. Each Add...Command function adds its subcommand (with its options and
// --help text) to the application and returns it with the function that runs it once the command
// line has been parsed. That function returns the process's exit code; it may also throw
// lyr::tool::Failure (common.h), which main turns into one message and exit code 1.
//
// A new subcommand: a cmd_<name>.cpp file in this folder (picked up by the build), its Add
// function declared here and called from main.cpp, and a test in tests/tools/.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace lyr::tool {

struct Command {
  CLI::App* app;             // the subcommand, owned by the application
  std::function<int()> run;  // its work, run after a successful parse
};

// Adds --format NAME, checked against the Vek format names (text, binary, text-zip, binary-zip).
CLI::Option* AddFormatOption(CLI::App* sub, std::string& format, const std::string& help);

Command AddDemoCommand(CLI::App& app);
Command AddInfoCommand(CLI::App& app);
Command AddConvertCommand(CLI::App& app);
Command AddOptimizeCommand(CLI::App& app);
Command AddTessellateCommand(CLI::App& app);
Command AddRenderCommand(CLI::App& app);
// `lyr import`: glTF and OBJ files into Vek scene files.
Command AddImportCommand(CLI::App& app);
Command AddLodCommand(CLI::App& app);

}  // namespace lyr::tool
