// How fwbundle's commands speak to the user: refusals and warnings on standard
// error, after whatever they printed on standard output.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

// Prints "fwbundle: MESSAGE" and returns the exit status of a failed command, 1.
int fail(const std::string& message);

// Prints "fwbundle: warning: MESSAGE".
void warn(const std::string& message);

// Runs `body` with standard output going to a temporary file, and returns what
// was written there: the board's console lines, which say why it refused.
template <typename Body>
std::string capture_stdout(Body body)
{
    fflush(stdout);
    FILE* file = tmpfile();
    int saved = file != nullptr ? dup(STDOUT_FILENO) : -1;
    if (saved < 0 || dup2(fileno(file), STDOUT_FILENO) < 0) {
        if (saved >= 0)
            close(saved);
        if (file != nullptr)
            fclose(file);
        body();
        return "";
    }
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(file);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    fclose(file);
    return text;
}
