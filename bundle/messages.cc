#include "bundle/messages.h"

#include <cstdio>

int fail(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "fwbundle: %s\n", message.c_str());
    return 1;
}

void warn(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "fwbundle: warning: %s\n", message.c_str());
}
