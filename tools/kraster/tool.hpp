// The kraster command-line tool: subcommands and demo sections register
// themselves from their own files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tool {

using Command = std::function<int(const std::vector<std::string> &args)>;

struct Registrar {
    Registrar(const char *name, const char *usage, const char *summary, Command run);
};

// Runs a registered subcommand as the command line would (for the demo).
int run(const std::string &name, const std::vector<std::string> &args);

// A section of `kraster demo`; sections run in ascending order.
using DemoSection = std::function<int()>;
struct DemoRegistrar {
    DemoRegistrar(int order, const char *title, DemoSection run);
};

}  // namespace tool
