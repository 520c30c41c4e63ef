#include "run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "test_pictures.h"

namespace zel7::test_support {

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::function<bool()>& beforeExec) {
    ScratchFolder capture;
    const auto outPath = capture / "out", errPath = capture / "err";
    // Prepared before forking: the child only calls what is safe there.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);

    int exitCode = -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(126);
        }
        if (beforeExec && !beforeExec()) {
            _exit(125);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
        }
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(in);
    close(out);
    close(err);
    const Bytes printed = ReadWholeFile(outPath), complained = ReadWholeFile(errPath);
    return {exitCode, {printed.begin(), printed.end()}, {complained.begin(), complained.end()}};
}

}  // namespace zel7::test_support
