// Running a program and collecting what it printed, and a piece of a test in a forked
// child, under limits or another user.
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

// Runs body in a child process and returns its result; false if the child died.
bool InChild(const std::function<bool()>& body);

// For use inside InChild: gives up root, so that permission bits apply. Returns false
// when that is impossible.
bool DropPrivileges();

}  // namespace zel7::test_support
