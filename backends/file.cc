#include "backends/file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

int open_file_truncate(const char* path)
{
    int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    return fd;
}

// Makes every directory along `dir` (which ends with '/'), like mkdir -p, in this
// process: the path comes from the package and must never reach a shell.
static void make_parents(char* dir)
{
    for (char* slash = strchr(dir + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        if (::mkdir(dir, 0777) < 0 && errno != EEXIST)
            perror("mkdir");
        *slash = '/';
    }
}

int create_file(const char* path, uint32_t mode)
{
    char dir[256] = {};
    size_t length = strlen(path);
    if (length >= sizeof dir) {
        printf("Path too long (%zu characters at most): %.64s...\n", sizeof dir - 1, path);
        return -1;
    }
    memcpy(dir, path, length);
    char* last_slash = strrchr(dir, '/');
    if (last_slash != nullptr) {
        last_slash[1] = '\0';         // keep the directory with its trailing '/'
        make_parents(dir);
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, (mode_t)mode);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    return fd;
}
