#include "source/http_client.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <grp.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backends/partition.h"
#include "common/io.h"
#include "common/process.h"
#include "common/scoped.h"
#include "source/url.h"

extern char** environ;

namespace {

// A file handed to the client that says nothing secret (a CA, the board's
// certificate): a copy of its bytes in memory that only the client's
// descriptor reaches, so that the file itself stays root's alone while the
// client runs as another user, who reopens the copy by /dev/fd.
struct handed_file {
    int fd;
    char name[24];                    // /dev/fd/N
};

constexpr size_t HANDED_FILE_MAX = 4 * 1024 * 1024;

// A secret (the client key, the header file with its token): held in our
// memory alone and written into a fresh pipe for each client, which it reads
// once. Nothing is left in that pipe for anyone who opens it through /proc
// later, and no copy of it stays readable for a whole download.
struct secret_file {
    byte_buffer bytes;
    uint32_t length;
    bool present;
};

// A pipe's capacity without asking the kernel for more (16 pages).
constexpr size_t SECRET_MAX = 64 * 1024;

struct client_state {
    http_settings settings;
    http_client_kind kind;
    handed_file ca, cert;
    secret_file key, headers;
    const char* origin_url;           // the header file's lines go to its origin alone
    // Run the client as `uid` and `gid`, real, effective and saved alike: a
    // real user other than the effective one would keep even processes of
    // the client's own id away, but the kernel then drops the death signal at
    // exec, and the client could outlive the tool.
    bool drop;
    uid_t uid;
    gid_t gid;
};

client_state client = {};

// Whether `name` is an executable file in a directory of PATH.
bool on_path(const char* name)
{
    const char* path = getenv("PATH");
    if (path == nullptr)
        return false;
    while (*path != '\0') {
        size_t length = strcspn(path, ":");
        char candidate[PATH_MAX];
        if (length + 1 + strlen(name) < sizeof candidate) {
            memcpy(candidate, path, length);
            snprintf(candidate + length, sizeof candidate - length, "/%s", name);
            if (::access(candidate, X_OK) == 0)
                return true;
        }
        path += length + (path[length] == ':' ? 1 : 0);
    }
    return false;
}

// The user's ids from /etc/passwd; the C library's lookup would bring its
// whole name service into a board binary.
int look_up_user(const char* user, uid_t* uid, gid_t* gid)
{
    FILE* passwd = fopen("/etc/passwd", "re");
    if (passwd == nullptr)
        return -1;
    char line[512];
    size_t length = strlen(user);
    if (length + 2 >= sizeof line) {
        fclose(passwd);
        return -1;
    }
    int found = -1;
    while (found < 0 && fgets(line, sizeof line, passwd) != nullptr) {
        // NAME:PASSWORD:UID:GID:...
        const char* password = line + length + 1;
        const char* ids = strncmp(line, user, length) == 0 && line[length] == ':'
                              ? strchr(password, ':')
                              : nullptr;
        unsigned long u = 0;
        unsigned long g = 0;
        if (ids != nullptr && sscanf(ids + 1, "%lu:%lu", &u, &g) == 2) {
            *uid = (uid_t)u;
            *gid = (gid_t)g;
            found = 0;
        }
    }
    fclose(passwd);
    return found;
}

// Whether an account of /etc/passwd or a group of /etc/group has the id:
// the third field of a line. True also when the file cannot be read.
bool file_names_id(const char* path, uint32_t id)
{
    FILE* file = fopen(path, "re");
    if (file == nullptr)
        return errno != ENOENT;
    char line[512];
    bool named = false;
    while (!named && fgets(line, sizeof line, file) != nullptr) {
        const char* field = line;
        for (int i = 0; i < 2 && field != nullptr; ++i) {
            field = strchr(field, ':');
            if (field != nullptr)
                ++field;
        }
        unsigned long value = 0;
        named = field != nullptr && sscanf(field, "%lu:", &value) == 1 && value == id;
    }
    fclose(file);
    return named;
}

// The first process other than ours that runs with the id as any of its user
// or group ids (real, effective, saved, file system), or 0 when none does.
// -1 when the process list cannot be read.
int process_with_id(uint32_t id)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return -1;
    int found = 0;
    pid_t self = ::getpid();
    struct dirent* entry;
    while (found == 0 && (entry = readdir(proc)) != nullptr) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%ld/status", pid);
        FILE* status = fopen(path, "re");
        if (status == nullptr)
            continue;                 // it has ended since
        char line[256];
        while (found == 0 && fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, "Uid:", 4) != 0 && strncmp(line, "Gid:", 4) != 0)
                continue;
            unsigned long ids[4] = {};
            int n = sscanf(line + 4, "%lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]);
            for (int i = 0; i < n; ++i)
                if (ids[i] == id)
                    found = (int)pid;
        }
        fclose(status);
    }
    closedir(proc);
    return found;
}

// An id of the client's own, used as its user and its group: from the
// build's range, named by no account and no group, held by no process. Another
// daemon's user (nobody, say) could read the client's descriptors and trace
// it, and so forge what it hands us. 0, or -1 after a line.
int choose_own_id(uint32_t first, uint32_t last, uint32_t* id)
{
    uint32_t span = last - first;
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint32_t random = 0;
        if (random_bytes(&random, sizeof random) < 0)
            random = (uint32_t)::getpid() * 2654435761U + (uint32_t)attempt;
        uint32_t candidate = first + (span == UINT32_MAX ? random : random % (span + 1));
        if (candidate == 0 || candidate == UINT32_MAX || file_names_id("/etc/passwd", candidate) ||
            file_names_id("/etc/group", candidate))
            continue;
        int holder = process_with_id(candidate);
        if (holder < 0)
            break;
        if (holder == 0) {
            *id = candidate;
            return 0;
        }
    }
    printf("HTTP client: no id of its own found in %lu-%lu\n", (unsigned long)first,
           (unsigned long)last);
    return -1;
}

// Opens a file the client is handed, checked as its kind needs: a secret must
// be a regular file of the tool's user that no one else may read. The open
// descriptor, or -1 after a line.
int open_handed(const char* path, const char* what, bool secret, size_t limit, struct stat* st)
{
    unique_fd source(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (source.fd < 0 || ::fstat(source.fd, st) < 0) {
        int error = errno;
        printf("%s %s cannot be read: %s\n", what, path, strerror(error));
        return -1;
    }
    if (secret && (!S_ISREG(st->st_mode) || st->st_uid != ::geteuid() || (st->st_mode & 077) != 0)) {
        printf("%s %s must be a file of the tool's user that no one else may read "
               "(mode 0600)\n", what, path);
        return -1;
    }
    if (!S_ISREG(st->st_mode) || (uint64_t)st->st_size > limit) {
        printf("%s %s is no regular file of up to %zu bytes\n", what, path, limit);
        return -1;
    }
    return source.release();
}

// Copies `path` into memory the client can reopen. 0, or -1 after a line.
int hand_over(const char* path, const char* what, handed_file* file)
{
    file->fd = -1;
    if (path == nullptr || path[0] == '\0')
        return 0;
    struct stat st;
    unique_fd source(open_handed(path, what, false, HANDED_FILE_MAX, &st));
    if (source.fd < 0)
        return -1;
    unique_fd copy((int)::syscall(SYS_memfd_create, "fwdeploy", MFD_CLOEXEC));
    if (copy.fd < 0) {
        perror("memfd_create");
        return -1;
    }
    char buffer[4096];
    int n;
    while ((n = read_full(source.fd, buffer, (int)sizeof buffer)) > 0)
        if (write_full(copy.fd, buffer, n) != n)
            return -1;
    if (n < 0) {
        perror("read");
        return -1;
    }
    if (client.drop && ::fchown(copy.fd, client.uid, client.gid) < 0) {
        perror("fchown");
        return -1;
    }
    ::fchmod(copy.fd, 0400);
    file->fd = copy.release();
    snprintf(file->name, sizeof file->name, "/dev/fd/%d", file->fd);
    return 0;
}

// Reads a secret into our memory. 0, or -1 after a line.
int take_secret(const char* path, const char* what, secret_file* secret)
{
    secret->present = false;
    if (path == nullptr || path[0] == '\0')
        return 0;
    struct stat st;
    unique_fd source(open_handed(path, what, true, SECRET_MAX, &st));
    if (source.fd < 0)
        return -1;
    secret->bytes = allocate_bytes(SECRET_MAX);
    if (!secret->bytes) {
        printf("%s %s: out of memory\n", what, path);
        return -1;
    }
    int n = read_full(source.fd, secret->bytes.get(), (int)SECRET_MAX);
    if (n < 0) {
        perror("read");
        return -1;
    }
    secret->length = (uint32_t)n;
    secret->present = true;
    return 0;
}

void wipe(secret_file* secret)
{
    if (secret->bytes)
        explicit_bzero(secret->bytes.get(), SECRET_MAX);
    secret->bytes.reset();
    secret->present = false;
}

// Wipes the secrets when the program ends.
struct secrets_owner {
    ~secrets_owner()
    {
        wipe(&client.key);
        wipe(&client.headers);
    }
} secrets_owner_instance;

// A pipe that holds the secret and nothing more: its write end closed, its
// read end (close-on-exec until the child keeps it) in *fd and named in `name`.
// 0, or -1 after a line.
int secret_pipe(const secret_file& secret, unique_fd* fd, char (&name)[24])
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    // Never blocks: the whole secret fits the pipe, and no one reads it yet.
    ::fcntl(write_end.fd, F_SETFL, O_NONBLOCK);
    if (secret.length > 4096)
        ::fcntl(write_end.fd, F_SETPIPE_SZ, (int)secret.length);
    if (secret.length > 0 &&
        ::write(write_end.fd, secret.bytes.get(), secret.length) != (ssize_t)secret.length) {
        perror("write");
        return -1;
    }
    // The client reopens it by /dev/fd, which asks the pipe's owner.
    if (client.drop && ::fchown(read_end.fd, client.uid, client.gid) < 0) {
        perror("fchown");
        return -1;
    }
    fd->fd = read_end.release();
    snprintf(name, sizeof name, "/dev/fd/%d", fd->fd);
    return 0;
}

void add(const char* argv[], int* count, const char* arg)
{
    argv[(*count)++] = arg;
}

// What one client is handed beyond its pipes: the secrets in pipes of their
// own, each read once.
struct secret_pipes {
    unique_fd key;
    unique_fd headers;
    char key_name[24];
    char headers_name[24];
};

// The secrets for a request to `url`: the key for every server (it proves who
// the board is, and says nothing a server could use), the header file's lines
// only for the origin the command line named: a redirect elsewhere must not
// carry an access token there. 0, or -1 after a line.
int open_secrets(const char* url, secret_pipes* pipes)
{
    if (client.key.present && secret_pipe(client.key, &pipes->key, pipes->key_name) < 0)
        return -1;
    if (client.headers.present && url_same_origin(url, client.origin_url) &&
        secret_pipe(client.headers, &pipes->headers, pipes->headers_name) < 0)
        return -1;
    return 0;
}

// The client's command line for `request` to `url`; `text` holds the headers
// built for it.
void command_line(const http_request* request, const char* url, const secret_pipes& secrets,
                  const char* argv[], char (&text)[4][192])
{
    int count = 0;
    if (client.kind == HTTP_WGET) {
        add(argv, &count, "busybox");
        add(argv, &count, "wget");
        add(argv, &count, "-q");
        add(argv, &count, "-S");
        add(argv, &count, "-O");
        add(argv, &count, "-");
    } else {
        add(argv, &count, "curl");
        add(argv, &count, "-q");              // no configuration file of anyone's
        add(argv, &count, "--silent");
        add(argv, &count, "--show-error");
        add(argv, &count, "--dump-header");   // the head comes first on the body's pipe
        add(argv, &count, "-");
        // The URL exactly as written: no {a,b} or [1-9] sets of URLs.
        add(argv, &count, "--globoff");
        // Redirects are followed by the tool, one client a request, so that
        // what each request carries is decided for its own server.
        add(argv, &count, "--proto");
        add(argv, &count, "=http,https");
        if (client.ca.fd >= 0) {
            add(argv, &count, "--cacert");
            add(argv, &count, client.ca.name);
        }
        if (client.cert.fd >= 0) {
            add(argv, &count, "--cert");
            add(argv, &count, client.cert.name);
        }
        if (secrets.key.fd >= 0) {
            add(argv, &count, "--key");
            add(argv, &count, secrets.key_name);
        }
        if (secrets.headers.fd >= 0) {
            snprintf(text[0], sizeof text[0], "@%s", secrets.headers_name);
            add(argv, &count, "--header");
            add(argv, &count, text[0]);
        }
        if (request->bounded) {
            snprintf(text[1], sizeof text[1], "Range: bytes=%llu-%llu",
                     (unsigned long long)request->from, (unsigned long long)request->to);
            add(argv, &count, "--header");
            add(argv, &count, text[1]);
        } else if (request->from > 0) {
            snprintf(text[1], sizeof text[1], "Range: bytes=%llu-",
                     (unsigned long long)request->from);
            add(argv, &count, "--header");
            add(argv, &count, text[1]);
        }
    }
    if (request->from > 0 && request->if_range != nullptr && request->if_range[0] != '\0') {
        snprintf(text[2], sizeof text[2], "If-Range: %s", request->if_range);
        add(argv, &count, "--header");
        add(argv, &count, text[2]);
    } else if (request->if_match != nullptr && request->if_match[0] != '\0') {
        snprintf(text[2], sizeof text[2], "If-Match: %s", request->if_match);
        add(argv, &count, "--header");
        add(argv, &count, text[2]);
    } else if (request->if_unmodified_since != nullptr && request->if_unmodified_since[0] != '\0') {
        snprintf(text[2], sizeof text[2], "If-Unmodified-Since: %s",
                 request->if_unmodified_since);
        add(argv, &count, "--header");
        add(argv, &count, text[2]);
    }
    if (client.kind == HTTP_CURL)
        add(argv, &count, "--url");
    add(argv, &count, url);
    argv[count] = nullptr;
}

// The client's environment: nothing of the caller's but the search path, and
// its proxy where the build allows one.
void environment(const char* envp[], char (&path)[4096])
{
    int count = 0;
    const char* ours = getenv("PATH");
    snprintf(path, sizeof path, "PATH=%s", ours != nullptr ? ours : "/usr/bin:/bin");
    envp[count++] = path;
    envp[count++] = "HOME=/";
    envp[count++] = "LC_ALL=C";
    static const char* const proxies[] = {"http_proxy=", "https_proxy=", "HTTPS_PROXY=",
                                          "ALL_PROXY=", "all_proxy=", "no_proxy=", "NO_PROXY="};
    if (client.settings.allow_proxy)
        for (char** e = environ; *e != nullptr && count < 14; ++e)
            for (const char* p : proxies)
                if (strncmp(*e, p, strlen(p)) == 0)
                    envp[count++] = *e;
    envp[count] = nullptr;
}

// In the child: every descriptor but 0, 1, 2 and those handed over closed at exec.
void close_the_rest(const secret_pipes& secrets)
{
    if (::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) < 0) {
        long last = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (last > 0 && last < 65536 ? last : 65536); ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    const int kept[] = {client.ca.fd, client.cert.fd, secrets.key.fd, secrets.headers.fd};
    for (int fd : kept)
        if (fd >= 0)
            ::fcntl(fd, F_SETFD, 0);
}

// In the child: the client works for us, not as us, under ids no one else has;
// and it ends with us, whatever ends us.
void become_client(pid_t parent)
{
    if (client.drop && (::setgroups(0, nullptr) < 0 ||
                        ::setresgid(client.gid, client.gid, client.gid) < 0 ||
                        ::setresuid(client.uid, client.uid, client.uid) < 0)) {
        perror("setuid");
        _exit(EXEC_FAILED);
    }
    // The change of ids clears the death signal, so it is asked for after it;
    // a parent already gone has left us to init.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || ::getppid() != parent)
        _exit(EXEC_FAILED);
}

pid_t spawn(const http_request* request, const char* url, int* body, int* messages)
{
    secret_pipes secrets;
    if (open_secrets(url, &secrets) < 0)
        return -1;
    const char* argv[48];
    char text[4][192] = {};
    command_line(request, url, secrets, argv, text);
    const char* envp[16];
    char path[4096];
    environment(envp, path);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd out_read(out[0]), out_write(out[1]);
    int err[2];
    if (::pipe2(err, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd err_read(err[0]), err_write(err[1]);
    // Room for the client to go on downloading while a pass writes what came
    // before; the kernel may grant less, which is fine.
    ::fcntl(out_read.fd, F_SETPIPE_SZ, 1024 * 1024);
    pid_t parent = ::getpid();
    pid_t pid = fork_flushed();
    if (pid < 0) {
        perror("error in fork!");
        return -1;
    }
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out_write.fd, 1) < 0 ||
            ::dup2(err_write.fd, 2) < 0) {
            perror("dup2");
            _exit(EXEC_FAILED);
        }
        close_the_rest(secrets);
        become_client(parent);
        ::execvpe(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        perror("execlp error!");
        _exit(EXEC_FAILED);
    }
    *body = out_read.release();
    *messages = err_read.release();
    return pid;
}

// Reads what is there of `fd` into `buffer` after `*used` bytes, waiting until
// `deadline` for the first byte. The count, 0 at the end, -1 when time ran out.
int read_by(int fd, uint8_t* buffer, size_t room, int64_t deadline)
{
    for (;;) {
        if (wait_readable_until(fd, deadline) <= 0)
            return -1;
        ssize_t n = ::read(fd, buffer, room);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : (int)n;
    }
}

void copy_value(char* to, size_t size, const char* value)
{
    snprintf(to, size, "%s", value);
    size_t length = strlen(to);
    while (length > 0 && (to[length - 1] == '\r' || to[length - 1] == ' '))
        to[--length] = '\0';
}

// What a line of the client's own says is wrong, into `reason`: "curl: (7)
// Failed to connect ..." and "wget: can't connect ..." say it after their name.
void client_said(const char* line, char* reason, size_t size)
{
    const char* said = strstr(line, ": ");
    if (said == nullptr)
        return;
    said += 2;
    if (said[0] == '(' && strchr(said, ')') != nullptr)
        said = strchr(said, ')') + 1;
    while (*said == ' ')
        ++said;
    if (said[0] != '\0')
        snprintf(reason, size, "%s", said);
}

// One line of a response head. Returns 1 at the blank line that ends a head.
int take_header_line(char* line, http_response* response)
{
    while (*line == ' ')
        ++line;                       // busybox wget indents what it shows
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        line[--length] = '\0';
    if (length == 0)
        return 1;
    unsigned major = 0;
    int status = 0;
    if (strncmp(line, "HTTP/", 5) == 0 && sscanf(line + 5, "%u%*[.0-9] %d", &major, &status) >= 1) {
        // A new head (after a redirect or an interim 100) starts afresh.
        http_response fresh{};
        fresh.status = status;
        if (status == 0)
            sscanf(line + 5, "%u %d", &major, &fresh.status);
        *response = fresh;
        return 0;
    }
    const char* colon = strchr(line, ':');
    if (colon == nullptr)
        return 0;
    const char* value = colon + 1;
    while (*value == ' ' || *value == '\t')
        ++value;
    size_t name = (size_t)(colon - line);
    unsigned long long a = 0;
    unsigned long long b = 0;
    unsigned long long c = 0;
    if (name == 4 && strncasecmp(line, "ETag", 4) == 0) {
        copy_value(response->etag, sizeof response->etag, value);
    } else if (name == 13 && strncasecmp(line, "Last-Modified", 13) == 0) {
        copy_value(response->last_modified, sizeof response->last_modified, value);
    } else if (name == 14 && strncasecmp(line, "Content-Length", 14) == 0 &&
               sscanf(value, "%llu", &a) == 1) {
        response->has_length = true;
        response->length = a;
    } else if (name == 8 && strncasecmp(line, "Location", 8) == 0) {
        copy_value(response->location, sizeof response->location, value);
    } else if (name == 13 && strncasecmp(line, "Content-Range", 13) == 0 &&
               sscanf(value, "bytes %llu-%llu/%llu", &a, &b, &c) == 3) {
        response->has_range = true;
        response->range_start = a;
        response->range_total = c;
    }
    return 0;
}

bool redirect_status(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Whether a head is the last one of a client: not an interim answer, and not
// a redirect that busybox wget follows by itself (curl follows none).
bool final_head(const http_response* response)
{
    int s = response->status;
    return s >= 200 && (client.kind == HTTP_CURL || !redirect_status(s));
}

// Reads heads from `fd` until the final one has ended; bytes after it (curl's
// body) go to the exchange. 1 at a final head, 0 when the stream ended first,
// -1 when it stalled.
int read_heads(http_exchange* x, int fd, bool body_follows, http_response* response,
               int64_t deadline)
{
    // Room for a Location of the longest URL taken; a longer line is cut
    // and taken for none at all, so no cut URL is ever followed.
    char line[URL_MAX + 64];
    size_t used = 0;
    bool cut = false;
    uint8_t chunk[2048];
    for (;;) {
        int n = read_by(fd, chunk, sizeof chunk, deadline);
        if (n <= 0)
            return n;
        for (int i = 0; i < n; ++i) {
            if (used < sizeof line - 1)
                line[used++] = (char)chunk[i];
            else
                cut = true;
            if (chunk[i] != '\n')
                continue;
            line[used] = '\0';
            used = 0;
            if (cut) {
                cut = false;
                continue;
            }
            // busybox wget says why it gave up on the stream its heads come on.
            if (!body_follows && strncmp(line, "wget: ", 6) == 0) {
                line[strcspn(line, "\r\n")] = '\0';
                client_said(line, response->reason, sizeof response->reason);
                continue;
            }
            if (take_header_line(line, response) == 1 && response->status != 0 &&
                final_head(response)) {
                if (body_follows) {
                    x->early_start = 0;
                    x->early_end = n - i - 1;
                    memcpy(x->early, chunk + i + 1, (size_t)x->early_end);
                }
                return 1;
            }
        }
    }
}

// The client's last word on standard error, for a line that says why.
void last_message(int fd, char* reason, size_t size, int64_t deadline)
{
    char text[1024];
    int length = 0;
    for (;;) {
        int n = read_by(fd, reinterpret_cast<uint8_t*>(text) + length,
                        sizeof text - 1 - (size_t)length, deadline);
        if (n <= 0)
            break;
        length += n;
        if (length == (int)sizeof text - 1)
            break;
    }
    text[length] = '\0';
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    // The client's own line, which names the fault; curl adds advice after it.
    const char* last = strrchr(text, '\n');
    last = last != nullptr ? last + 1 : text;
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = '\0';
        if (strncmp(line, "curl:", 5) == 0 || strncmp(line, "wget:", 5) == 0)
            last = line;
        line = next;
    }
    if (strncmp(last, "curl:", 5) == 0 || strncmp(last, "wget:", 5) == 0)
        client_said(last, reason, size);
    else if (last[0] != '\0')
        snprintf(reason, size, "%s", last);
}

}  // namespace

int http_setup(const http_settings* settings, const char* url)
{
    wipe(&client.key);
    wipe(&client.headers);
    client = client_state{};
    client.settings = *settings;
    client.origin_url = url;
    client.ca.fd = client.cert.fd = -1;
    const char* kind = settings->client != nullptr ? settings->client : "auto";
    if (strcmp(kind, "curl") == 0 || (strcmp(kind, "auto") == 0 && on_path("curl"))) {
        client.kind = HTTP_CURL;
    } else if (strcmp(kind, "wget") == 0 || strcmp(kind, "auto") == 0) {
        client.kind = HTTP_WGET;
    } else {
        printf("HTTP client %s is none of curl, wget and auto\n", kind);
        return -1;
    }
    if (client.kind == HTTP_WGET) {
        // busybox wget checks no certificate and takes headers only on its
        // command line, which every user can read.
        if (url_is_https(url) && !settings->signatures_required) {
            puts("Package URL refused: busybox wget cannot check the server's certificate, "
                 "so https needs curl or a board that takes signed packages only");
            return -1;
        }
        const char* needs_curl[] = {settings->cert_file, settings->key_file,
                                    settings->header_file};
        for (const char* file : needs_curl)
            if (file != nullptr && file[0] != '\0') {
                printf("HTTP client busybox wget cannot use %s: that needs curl\n", file);
                return -1;
            }
    }
    if (::geteuid() == 0 && settings->user != nullptr && settings->user[0] != '\0') {
        if (look_up_user(settings->user, &client.uid, &client.gid) < 0) {
            printf("HTTP client user %s is not in /etc/passwd\n", settings->user);
            return -1;
        }
        // Whoever else runs as that user could read what the client is
        // handed, and trace it.
        int holder = client.uid != 0 ? process_with_id((uint32_t)client.uid) : 0;
        if (holder > 0) {
            printf("HTTP client user %s is shared with process %d: the client needs a user "
                   "of its own\n", settings->user, holder);
            return -1;
        }
        client.drop = client.uid != 0;
    } else if (::geteuid() == 0) {
        uint32_t id = 0;
        if (choose_own_id(settings->id_first, settings->id_last, &id) < 0)
            return -1;
        client.uid = (uid_t)id;
        client.gid = (gid_t)id;
        client.drop = true;
    }

    if (hand_over(settings->ca_file, "HTTPS CA file", &client.ca) < 0 ||
        hand_over(settings->cert_file, "HTTPS client certificate", &client.cert) < 0 ||
        take_secret(settings->key_file, "HTTPS client key", &client.key) < 0 ||
        take_secret(settings->header_file, "HTTP header file", &client.headers) < 0)
        return -1;
    return 0;
}

const http_settings* http_config()
{
    return &client.settings;
}

http_client_kind http_kind()
{
    return client.kind;
}

namespace {

constexpr int REDIRECTS_MAX = 5;

// One client for one request to `url`, as http_start says.
int start_one(const http_request* request, const char* url, http_exchange* x,
              http_response* response)
{
    *response = http_response{};
    *x = http_exchange{};
    x->body = x->messages = -1;
    int64_t deadline = monotonic_ms() + client.settings.stall_ms;
    x->pid = spawn(request, url, &x->body, &x->messages);
    if (x->pid < 0) {
        snprintf(response->reason, sizeof response->reason, "the client could not be started");
        return -1;
    }
    int head = client.kind == HTTP_CURL
                   ? read_heads(x, x->body, true, response, deadline)
                   : read_heads(x, x->messages, false, response, deadline);
    if (head == 1)
        return 0;
    response->retryable = true;
    if (head < 0) {
        snprintf(response->reason, sizeof response->reason, "no answer within %d s",
                 (client.settings.stall_ms + 999) / 1000);
        http_end(x);
        return -1;
    }
    // The client gave up: a connection refused, a redirect refused, a
    // certificate it did not trust; or busybox wget refusing a status. What
    // the network may mend is tried again, what the server or its certificate
    // said is not.
    if (response->reason[0] == '\0')
        snprintf(response->reason, sizeof response->reason, "no response");
    last_message(x->messages, response->reason, sizeof response->reason, deadline);
    child_guard child(x->pid);
    x->pid = -1;
    int status = wait_until(&child, deadline);
    int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (client.kind == HTTP_CURL) {
        static const int transient[] = {6, 7, 16, 18, 28, 35, 52, 55, 56, 92};
        response->retryable = false;
        for (int t : transient)
            response->retryable = response->retryable || code == t;
    } else {
        response->retryable = strstr(response->reason, "server returned error") == nullptr;
    }
    if (response->status >= 300) {
        snprintf(response->reason, sizeof response->reason, "HTTP %d", response->status);
        response->retryable = false;
    }
    http_end(x);
    return -1;
}

}  // namespace

int http_start(const http_request* request, http_exchange* x, http_response* response)
{
    char url[URL_MAX + 1];
    snprintf(url, sizeof url, "%s", request->url);
    for (int redirects = 0;; ++redirects) {
        if (start_one(request, url, x, response) < 0)
            return -1;
        if (client.kind != HTTP_CURL || !redirect_status(response->status))
            return 0;
        // Followed here, a client a hop, so that the header file's lines
        // reach only their own origin; never from https down to http.
        int status = response->status;
        char next[URL_MAX + 1];
        const char* refused = nullptr;
        if (redirects == REDIRECTS_MAX)
            refused = "too many redirects";
        else if (response->location[0] == '\0')
            refused = "a redirect without a location";
        else if (url_resolve(url, response->location, next, sizeof next) < 0 ||
                 !url_acceptable(next))
            refused = "a redirect to a URL the tool does not fetch";
        else if (url_is_https(request->url) && !url_is_https(next))
            refused = "a redirect from https to http";
        http_end(x);
        if (refused != nullptr) {
            *response = http_response{};
            response->status = status;
            snprintf(response->reason, sizeof response->reason, "HTTP %d, %s", status, refused);
            return -1;
        }
        memcpy(url, next, sizeof url);
    }
}

bool http_has_early(const http_exchange* x)
{
    return x->early_start < x->early_end;
}

int http_read(http_exchange* x, void* buffer, int length)
{
    if (http_has_early(x)) {
        int take = x->early_end - x->early_start;
        if (take > length)
            take = length;
        memcpy(buffer, x->early + x->early_start, (size_t)take);
        x->early_start += take;
        return take;
    }
    for (;;) {
        ssize_t n = ::read(x->body, buffer, (size_t)length);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : (int)n;
    }
}

int http_finish(http_exchange* x, char* reason, size_t size)
{
    int64_t deadline = monotonic_ms() + client.settings.stall_ms;
    child_guard child(x->pid);
    x->pid = -1;
    int status = wait_until(&child, deadline);
    if (exited_with(status, 0))
        return 0;
    snprintf(reason, size, "the connection broke");
    last_message(x->messages, reason, size, deadline);
    return -1;
}

void http_end(http_exchange* x)
{
    if (x->pid > 0) {
        child_guard child(x->pid);
        ::kill(x->pid, SIGKILL);
        child.wait();
    }
    x->pid = -1;
    if (x->body >= 0)
        ::close(x->body);
    if (x->messages >= 0)
        ::close(x->messages);
    x->body = x->messages = -1;
    x->early_start = x->early_end = 0;
}
