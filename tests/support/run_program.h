// Running a program and collecting what it printed.
#pragma once

#include <string>
#include <vector>

namespace zel7::testing {

struct ProgramResult {
    int exitCode = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace zel7::testing
