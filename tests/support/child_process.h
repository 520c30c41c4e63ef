// Running a piece of a test in a forked child, under limits or another user.
#pragma once

#include <functional>

namespace zel7::test_support {

// Runs body in a child process and returns its result; false if the child died.
bool InChild(const std::function<bool()>& body);

// For use inside InChild or before a program starts: limits the size of files the
// process may write, as a full disk would. SIGXFSZ keeps its disposition: the program
// under test must not die of it.
void LimitFileSize(long bytes);

// For use inside InChild: gives up root, so that permission bits apply. Returns false
// when that is impossible.
bool DropPrivileges();

}  // namespace zel7::test_support
