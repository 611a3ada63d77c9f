// kraster: command-line tool over the library.
#include <kraster/kraster.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "tool.hpp"

namespace tool {
namespace {

struct CommandEntry {
    std::string usage;
    std::string summary;
    Command run;
};

std::map<std::string, CommandEntry> &commands() {
    static std::map<std::string, CommandEntry> c;
    return c;
}

struct DemoEntry {
    int order;
    std::string title;
    DemoSection run;
};

std::vector<DemoEntry> &demoSections() {
    static std::vector<DemoEntry> d;
    return d;
}

int usage(FILE *out) {
    fprintf(out, "usage: kraster <command> [arguments]\n\ncommands:\n");
    for (const auto &[name, c] : commands())
        fprintf(out, "  %-34s %s\n", (name + (c.usage.empty() ? "" : " " + c.usage)).c_str(),
                c.summary.c_str());
    fprintf(out, "  %-34s %s\n", "--help", "this list");
    return out == stdout ? 0 : 2;
}

int runDemo(const std::vector<std::string> &) {
    auto sections = demoSections();
    std::stable_sort(sections.begin(), sections.end(),
                     [](const DemoEntry &a, const DemoEntry &b) { return a.order < b.order; });
    for (const auto &s : sections) {
        printf("== %s\n", s.title.c_str());
        fflush(stdout);
        int rc = s.run();
        fflush(stdout);
        if (rc != 0) {
            fprintf(stderr, "kraster demo: section \"%s\" failed\n", s.title.c_str());
            return rc;
        }
        printf("\n");
    }
    printf("demo finished\n");
    return 0;
}

Registrar demoCommand("demo", "", "run the library's main job on built-in defaults", runDemo);

}  // namespace

Registrar::Registrar(const char *name, const char *usage, const char *summary, Command run) {
    commands()[name] = CommandEntry{usage, summary, std::move(run)};
}

int run(const std::string &name, const std::vector<std::string> &args) {
    auto it = commands().find(name);
    if (it == commands().end()) {
        fprintf(stderr, "kraster: unknown command \"%s\"\n", name.c_str());
        return 2;
    }
    return it->second.run(args);
}

DemoRegistrar::DemoRegistrar(int order, const char *title, DemoSection run) {
    demoSections().push_back(DemoEntry{order, title, std::move(run)});
}

}  // namespace tool

int main(int argc, char **argv) {
    if (argc < 2) return tool::usage(stderr);
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") return tool::usage(stdout);
    auto it = tool::commands().find(name);
    if (it == tool::commands().end()) {
        fprintf(stderr, "kraster: unknown command \"%s\"\n\n", name.c_str());
        return tool::usage(stderr);
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") {
            printf("usage: kraster %s %s\n%s\n", name.c_str(), it->second.usage.c_str(),
                   it->second.summary.c_str());
            return 0;
        }
    return it->second.run(args);
}
