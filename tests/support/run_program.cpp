#include "run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "test_pictures.h"

namespace zel7::test_support {

namespace {

// Runs child in a forked process, which exits with what child returns; the exit code, or -1
// when the process did not exit normally.
int Forked(const std::function<int()>& child) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(child());
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0) {
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::function<bool()>& beforeExec) {
    ScratchFolder capture;
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open((capture / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    const int err = open((capture / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    // Prepared before forking: the child only calls what is safe there.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int exitCode = Forked([&] {
        if (dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2 &&
            (!beforeExec || beforeExec())) {
            execv(program.c_str(), argv.data());
        }
        return 127;
    });
    close(in), close(out), close(err);
    const Bytes printed = ReadWholeFile(capture / "out"), said = ReadWholeFile(capture / "err");
    return {exitCode, {printed.begin(), printed.end()}, {said.begin(), said.end()}};
}

bool InChild(const std::function<bool()>& body) {
    return Forked([&] { return body() ? 0 : 1; }) == 0;
}

bool DropPrivileges() {
    if (geteuid() != 0) {
        return true;
    }
    constexpr uid_t kNobody = 65534;
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

}  // namespace zel7::test_support
