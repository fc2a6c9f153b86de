#include "source/http_client.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <strings.h>
#include <sys/mman.h>
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

// A file handed to the client: a copy of its bytes in memory that only the
// client's descriptor reaches, so that the file itself stays root's alone
// while the client runs as another user, who reopens the copy by /dev/fd.
struct handed_file {
    int fd;
    char name[24];                    // /dev/fd/N
};

constexpr size_t HANDED_FILE_MAX = 4 * 1024 * 1024;

struct client_state {
    http_settings settings;
    http_client_kind kind;
    handed_file ca, cert, key, headers;
    bool drop;                        // run the client as `uid`, `gid`
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

// Copies `path` into memory the client can reopen. A file of extra headers
// carries secrets: it must be the tool's user's alone. 0, or -1 after a line.
int hand_over(const char* path, const char* what, bool secret, handed_file* file)
{
    file->fd = -1;
    if (path == nullptr || path[0] == '\0')
        return 0;
    unique_fd source(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (source.fd < 0 || ::fstat(source.fd, &st) < 0) {
        int error = errno;
        printf("%s %s cannot be read: %s\n", what, path, strerror(error));
        return -1;
    }
    if (secret && (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) {
        printf("%s %s must be a file of the tool's user that no one else may read "
               "(mode 0600)\n", what, path);
        return -1;
    }
    if (!S_ISREG(st.st_mode) || (uint64_t)st.st_size > HANDED_FILE_MAX) {
        printf("%s %s is no regular file of up to %zu bytes\n", what, path, HANDED_FILE_MAX);
        return -1;
    }
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

void add(const char* argv[], int* count, const char* arg)
{
    argv[(*count)++] = arg;
}

// The client's command line for `request`; `text` holds the headers built for it.
void command_line(const http_request* request, const char* argv[], char (&text)[4][192])
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
        add(argv, &count, "--location");
        add(argv, &count, "--max-redirs");
        add(argv, &count, "5");
        add(argv, &count, "--proto");
        add(argv, &count, "=http,https");
        add(argv, &count, "--proto-redir");
        // Never from https down to http.
        add(argv, &count, url_is_https(request->url) ? "=https" : "=http,https");
        if (client.ca.fd >= 0) {
            add(argv, &count, "--cacert");
            add(argv, &count, client.ca.name);
        }
        if (client.cert.fd >= 0) {
            add(argv, &count, "--cert");
            add(argv, &count, client.cert.name);
        }
        if (client.key.fd >= 0) {
            add(argv, &count, "--key");
            add(argv, &count, client.key.name);
        }
        if (client.headers.fd >= 0) {
            snprintf(text[0], sizeof text[0], "@%s", client.headers.name);
            add(argv, &count, "--header");
            add(argv, &count, text[0]);
        }
        if (request->from > 0) {
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
    add(argv, &count, request->url);
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

// In the child: every descriptor but 0, 1, 2 and the handed files closed at exec.
void close_the_rest()
{
    if (::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) < 0) {
        long last = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (last > 0 && last < 65536 ? last : 65536); ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    const handed_file* handed[] = {&client.ca, &client.cert, &client.key, &client.headers};
    for (const handed_file* f : handed)
        if (f->fd >= 0)
            ::fcntl(f->fd, F_SETFD, 0);
}

pid_t spawn(const http_request* request, int* body, int* messages)
{
    const char* argv[48];
    char text[4][192] = {};
    command_line(request, argv, text);
    const char* envp[16];
    char path[4096];
    environment(envp, path);
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd out_read(out[0]), out_write(out[1]), err_read(err[0]), err_write(err[1]);
    // Room for the client to go on downloading while a pass writes what came
    // before; the kernel may grant less, which is fine.
    ::fcntl(out_read.fd, F_SETPIPE_SZ, 1024 * 1024);
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
        close_the_rest();
        // The client works for us, not as us.
        if (client.drop && (::setgroups(0, nullptr) < 0 || ::setgid(client.gid) < 0 ||
                            ::setuid(client.uid) < 0)) {
            perror("setuid");
            _exit(EXEC_FAILED);
        }
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
    } else if (name == 13 && strncasecmp(line, "Content-Range", 13) == 0 &&
               sscanf(value, "bytes %llu-%llu/%llu", &a, &b, &c) == 3) {
        response->has_range = true;
        response->range_start = a;
        response->range_total = c;
    }
    return 0;
}

// Whether a head is the last one: not an interim answer, not a redirect the
// client follows.
bool final_head(const http_response* response)
{
    int s = response->status;
    return s >= 200 && !(s == 301 || s == 302 || s == 303 || s == 307 || s == 308);
}

// Reads heads from `fd` until the final one has ended; bytes after it (curl's
// body) go to the exchange. 1 at a final head, 0 when the stream ended first,
// -1 when it stalled.
int read_heads(http_exchange* x, int fd, bool body_follows, http_response* response,
               int64_t deadline)
{
    char line[1024];
    size_t used = 0;
    uint8_t chunk[2048];
    for (;;) {
        int n = read_by(fd, chunk, sizeof chunk, deadline);
        if (n <= 0)
            return n;
        for (int i = 0; i < n; ++i) {
            if (used < sizeof line - 1)
                line[used++] = (char)chunk[i];
            if (chunk[i] != '\n')
                continue;
            line[used] = '\0';
            used = 0;
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
    client = client_state{};
    client.settings = *settings;
    client.ca.fd = client.cert.fd = client.key.fd = client.headers.fd = -1;
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
        client.drop = client.uid != 0;
    }
    if (hand_over(settings->ca_file, "HTTPS CA file", false, &client.ca) < 0 ||
        hand_over(settings->cert_file, "HTTPS client certificate", false, &client.cert) < 0 ||
        hand_over(settings->key_file, "HTTPS client key", true, &client.key) < 0 ||
        hand_over(settings->header_file, "HTTP header file", true, &client.headers) < 0)
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

int http_start(const http_request* request, http_exchange* x, http_response* response)
{
    *response = http_response{};
    *x = http_exchange{};
    x->body = x->messages = -1;
    int64_t deadline = monotonic_ms() + client.settings.stall_ms;
    x->pid = spawn(request, &x->body, &x->messages);
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
