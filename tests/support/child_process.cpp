#include "child_process.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace zel7::test_support {

bool InChild(const std::function<bool()>& body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0) {
    }
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void LimitFileSize(long bytes) {
    rlimit limit{rlim_t(bytes), rlim_t(bytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
}

bool DropPrivileges() {
    if (geteuid() != 0) {
        return true;
    }
    constexpr uid_t kNobody = 65534;
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

}  // namespace zel7::test_support
