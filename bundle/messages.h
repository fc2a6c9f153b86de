// How fwbundle's commands speak to the user: refusals and warnings on standard
// error, after whatever they printed on standard output.
#pragma once

#include <string>

// Prints "fwbundle: MESSAGE" and returns the exit status of a failed command, 1.
int fail(const std::string& message);

// Prints "fwbundle: warning: MESSAGE".
void warn(const std::string& message);
