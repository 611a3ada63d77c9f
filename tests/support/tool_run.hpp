// Running the kraster tool as a child process: the exit status and what it
// wrote, and a run interrupted once its progress bar shows.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs "kraster ARGS", sends it SIGINT at the first '%' on its standard
// error (the first progress bar drawn) and keeps all it wrote there.
inline Outcome interrupted(std::vector<const char *> args) {
    Outcome r;
    int fd[2];
    if (pipe(fd) != 0) return r;
    const pid_t child = fork();
    if (child == 0) {
        dup2(fd[1], STDERR_FILENO);
        close(fd[0]);
        args.insert(args.begin(), KRASTER_TOOL);
        args.push_back(nullptr);
        execv(KRASTER_TOOL, const_cast<char *const *>(args.data()));
        _exit(127);
    }
    close(fd[1]);
    char c;
    while (child > 0 && read(fd[0], &c, 1) == 1) {
        r.err += c;
        if (c == '%') break;
    }
    if (child > 0) kill(child, SIGINT);
    while (read(fd[0], &c, 1) == 1) r.err += c;
    close(fd[0]);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

}  // namespace tooltest
