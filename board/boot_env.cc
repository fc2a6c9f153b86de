#include "board/boot_env.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "backends/partition.h"
#include "common/io.h"
#include "common/process.h"
#include "common/scoped.h"

namespace {

// The tool and, when a configuration is named, "-c FILE" after it.
void with_config(const char* tool, const char* config, char* argv[], int* count)
{
    argv[(*count)++] = const_cast<char*>(tool);
    if (config != nullptr && config[0] != '\0') {
        argv[(*count)++] = const_cast<char*>("-c");
        argv[(*count)++] = const_cast<char*>(config);
    }
}

// The wait status of a tool that was given until `deadline`, or -1 after the
// line saying that it was killed.
int end_of(child_guard* child, const char* tool, const boot_env* env, int64_t deadline)
{
    int status = wait_until(child, deadline);
    if (status == -1 && monotonic_ms() >= deadline)
        printf("%s did not end within %d s: killed\n", tool, env->timeout_s);
    return status;
}

int64_t deadline_of(const boot_env* env)
{
    return monotonic_ms() + (int64_t)env->timeout_s * 1000;
}

}  // namespace

int read_boot_state(const boot_env* env, boot_state* boot)
{
    memset(boot, 0, sizeof *boot);
    int64_t deadline = deadline_of(env);
    char* argv[8];
    int count = 0;
    with_config("fw_printenv", env->config, argv, &count);
    argv[count++] = const_cast<char*>("BOOT_ORDER");
    argv[count++] = const_cast<char*>("BOOT_A_LEFT");
    argv[count++] = const_cast<char*>("BOOT_B_LEFT");
    argv[count] = nullptr;
    int output = -1;
    child_guard child(spawn_piped(argv, STDOUT_FILENO, &output));
    if (child.pid < 0)
        return -1;
    // More than the three lines asked for is not read.
    char text[512];
    int length;
    {
        unique_fd from(output);
        length = read_full_until(from.fd, text, (int)sizeof text - 1, deadline);
    }
    text[length < 0 ? 0 : length] = '\0';
    if (!exited_with(end_of(&child, "fw_printenv", env, deadline), 0))
        return -1;
    static const char* const names[3] = {"BOOT_ORDER=", "BOOT_A_LEFT=", "BOOT_B_LEFT="};
    char* values[3] = {boot->order, boot->left[0], boot->left[1]};
    int seen = 0;
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = '\0';
        for (int i = 0; i < 3; ++i) {
            size_t name_length = strlen(names[i]);
            if (strncmp(line, names[i], name_length) == 0) {
                snprintf(values[i], BOOT_VALUE_SIZE, "%s", line + name_length);
                seen |= 1 << i;
            }
        }
        line = next;
    }
    return seen == 7 ? 0 : -1;
}

int write_boot_state(const boot_env* env, const char* script)
{
    int64_t deadline = deadline_of(env);
    char* argv[8];
    int count = 0;
    with_config("fw_setenv", env->config, argv, &count);
    argv[count++] = const_cast<char*>("-s");
    argv[count++] = const_cast<char*>("-");
    argv[count] = nullptr;
    int input = -1;
    child_guard child(spawn_piped(argv, STDIN_FILENO, &input));
    if (child.pid < 0)
        return -1;
    int length = (int)strlen(script);
    int written;
    {
        unique_fd to(input);
        written = write_full(to.fd, script, length);
    }
    return exited_with(end_of(&child, "fw_setenv", env, deadline), 0) && written == length
               ? 0
               : -1;
}
