// Running a program and collecting what it printed.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zel7::test_support {

struct ProgramResult {
    int exitCode = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

// Runs program with arguments to its end, standard input from /dev/null. beforeExec, when
// given, runs in the child just before the program starts (to redirect, set limits, drop
// privileges or change the environment); returning false aborts the run.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::function<bool()>& beforeExec = {});

}  // namespace zel7::test_support
