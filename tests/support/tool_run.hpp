// Running the kraster tool as a child process: its exit status and what it
// wrote.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/ktest.hpp"

namespace tooltest {

struct Outcome {
    int status = -1;  // -1: did not exit
    std::string out, err;
};

// Runs "kraster ARGS" with `env` (assignments, each followed by a space).
inline Outcome run(const ktest::TempDir &dir, const std::string &args,
                   const std::string &env = "") {
    const std::string out = dir.file("out.txt"), err = dir.file("err.txt");
    const int rc =
        std::system((env + KRASTER_TOOL + " " + args + " >" + out + " 2>" + err).c_str());
    Outcome r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = ktest::readFile(out);
    r.err = ktest::readFile(err);
    return r;
}

}  // namespace tooltest
