// Running the kraster tool as a child process: its exit status and what it
// wrote.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

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

// Runs "kraster ARGS" with its standard error in a pipe and interrupts it
// (SIGINT) once it has drawn the first percentage of its progress bar; the
// outcome holds everything it wrote on the standard error.
inline Outcome interrupted(const std::vector<std::string> &args) {
    Outcome r;
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return r;
    std::vector<char *> argv{const_cast<char *>(KRASTER_TOOL)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFd[1], STDERR_FILENO);
        close(pipeFd[0]);
        execv(KRASTER_TOOL, argv.data());
        _exit(127);
    }
    close(pipeFd[1]);
    char c;
    while (child > 0 && ::read(pipeFd[0], &c, 1) == 1 && c != '%') r.err += c;
    if (child > 0) kill(child, SIGINT);
    while (child > 0 && ::read(pipeFd[0], &c, 1) == 1) r.err += c;
    close(pipeFd[0]);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

}  // namespace tooltest
