#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

// How long the output pipes may stay open after the program itself has ended:
// longer means a descendant still holds them.
constexpr int GRACE_MS = 2000;

}  // namespace

bool collects_orphans()
{
    // Descendants orphaned by the program are handed to us rather than to init,
    // so that a child the program never waited for can be seen and collected here.
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    return subreaper;
}

namespace {

std::vector<std::string> build_environment(const run_options& options)
{
    std::vector<std::pair<std::string, std::string>> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            vars.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    auto set = [&](const std::string& name, const std::string& value) {
        for (auto& v : vars)
            if (v.first == name) {
                v.second = value;
                return;
            }
        vars.emplace_back(name, value);
    };
    // The board tool's runs in this test share one lock file of their own, so
    // that tests running side by side never refuse each other.
    static const sandbox_dir lock_dir("fwdeploy-lock");
    set("FWDEPLOY_TEST_LOCK_FILE", lock_dir.path("fwdeploy.lock"));
    set("FWDEPLOY_TEST_LOCK_FALLBACK", lock_dir.path("fallback.lock"));
    if (!options.path_prefix.empty()) {
        const char* path = getenv("PATH");
        set("PATH", options.path_prefix + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    }
    for (const auto& v : options.env)
        set(v.first, v.second);
    std::vector<std::string> out;
    for (const auto& v : vars)
        out.push_back(v.first + "=" + v.second);
    return out;
}

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there; false at end of data.
bool drain(int fd, std::string* to)
{
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            to->append(buffer, (size_t)n);
            continue;
        }
        if (n < 0 && (errno == EINTR))
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

int elapsed_ms(clock_type::time_point since)
{
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since)
        .count();
}

// Collects every process of the group that is ours to wait for; returns how many.
int reap_group(pid_t group)
{
    int reaped = 0;
    int status;
    while (::waitpid(-group, &status, WNOHANG) > 0)
        ++reaped;
    return reaped;
}

void write_all_or_fail(const std::string& path, const void* data, size_t size, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << "cannot create " << path << ": " << strerror(errno);
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            FAIL() << "cannot write " << path << ": " << strerror(errno);
        }
        done += (size_t)n;
    }
    ::close(fd);
    ::chmod(path.c_str(), mode);   // the creation mask must not change what a test asked for
}

void make_dirs(const std::string& path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) < 0 && errno != EEXIST)
            ADD_FAILURE() << "cannot make " << prefix << ": " << strerror(errno);
        if (slash == std::string::npos)
            break;
    }
}

}  // namespace

run_result run_program(const run_options& options)
{
    collects_orphans();
    run_result result;
    std::vector<std::string> env = build_environment(options);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::string argv0 = options.argv0.empty() ? options.program : options.argv0;
    // FWDEPLOY_TEST_WRAPPER (words separated by spaces, e.g. a valgrind command
    // line) runs the tool under a checker; the tool then sees its path as argv[0].
    std::vector<std::string> wrapper;
    const char* wrap = getenv("FWDEPLOY_TEST_WRAPPER");
    if (wrap != nullptr && options.program == FWDEPLOY_BIN) {
        std::istringstream words(wrap);
        for (std::string word; words >> word;)
            wrapper.push_back(word);
    }
    std::string program = wrapper.empty() ? options.program : wrapper.front();
    std::vector<char*> argv;
    for (auto& w : wrapper)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(wrapper.empty() ? argv0.c_str() : options.program.c_str()));
    for (const auto& a : options.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) < 0 || ::pipe2(err_pipe, O_CLOEXEC) < 0 ||
        ::pipe2(in_pipe, O_CLOEXEC) < 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return result;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in_pipe[0], STDIN_FILENO);
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        // Only 0, 1 and 2 go to the program: a descriptor of the test would
        // otherwise look like one the program leaked to its own children.
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) < 0) {
            dprintf(STDERR_FILENO, "chdir %s: %s\n", options.cwd.c_str(), strerror(errno));
            _exit(127);
        }
        ::execvpe(program.c_str(), argv.data(), envp.data());
        dprintf(STDERR_FILENO, "exec %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    ::setpgid(pid, pid);              // also here: no race with a kill of the group
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(in_pipe[0]);
    int out_fd = out_pipe[0], err_fd = err_pipe[0], in_fd = in_pipe[1];
    set_nonblocking(out_fd);
    set_nonblocking(err_fd);
    set_nonblocking(in_fd);
    size_t fed = 0;
    if (options.input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    }

    auto start = clock_type::now();
    // Reads what a stream holds; false at its end.
    auto take = [&](int fd) {
        std::string* to = fd == out_fd ? &result.out : &result.err;
        size_t before = to->size();
        bool open = drain(fd, to);
        if (to == &result.out) {
            int now = elapsed_ms(start);
            for (size_t at = before; at < to->size(); ++at)
                if ((*to)[at] == '\n')
                    result.out_line_ms.push_back(now);
            if (options.on_output && to->size() > before)
                options.on_output(pid, *to);
        }
        return open;
    };
    clock_type::time_point ended_at{};
    bool ended = false;
    for (;;) {
        pollfd fds[3];
        int count = 0;
        if (out_fd >= 0)
            fds[count++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[count++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0)
            fds[count++] = {in_fd, POLLOUT, 0};
        if (count > 0)
            ::poll(fds, (nfds_t)count, 20);
        else
            ::usleep(500);            // the program has closed its output: it is ending
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == in_fd) {
                ssize_t n = ::write(in_fd, options.input.data() + fed, options.input.size() - fed);
                if (n > 0)
                    fed += (size_t)n;
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == options.input.size()) {
                    ::close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            if (!take(fds[i].fd)) {
                ::close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
        if (!ended) {
            int status;
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                ended = true;
                ended_at = clock_type::now();
                result.status = status;
            }
        }
        if (ended && out_fd < 0 && err_fd < 0)
            break;
        if (ended && elapsed_ms(ended_at) > GRACE_MS)
            break;                    // a descendant holds the output open
        if (elapsed_ms(start) > options.timeout_ms) {
            result.timed_out = true;
            ::kill(-pid, SIGKILL);
            int status;
            if (!ended && ::waitpid(pid, &status, 0) == pid)
                result.status = status;
            ended = true;
            break;
        }
    }
    for (int fd : {out_fd, err_fd, in_fd})
        if (fd >= 0) {
            if (fd != in_fd)
                take(fd);
            ::close(fd);
        }

    // What is left of the group now outlived the program.
    int leftovers = reap_group(pid);
    if (::kill(-pid, 0) == 0) {
        ::kill(-pid, SIGKILL);
        // Without collects_orphans() a killed orphan may stay a zombie of init's
        // for a while; it was counted once already, so do not wait long for it.
        // When it is ours, wait until it is collected: on a loaded machine dying
        // can take a while, and a zombie left behind would show in the next check.
        int patience = collects_orphans() ? 1000 : 40;
        for (int tries = 0; tries < patience && ::kill(-pid, 0) == 0; ++tries) {
            leftovers += reap_group(pid);
            ::usleep(5000);
        }
        leftovers += reap_group(pid);
        if (leftovers == 0)
            leftovers = 1;            // alive, but not ours to collect
    }
    result.leftover_processes = leftovers;
    if (result.status >= 0 && WIFEXITED(result.status))
        result.exit_code = WEXITSTATUS(result.status);
    if (result.status >= 0 && WIFSIGNALED(result.status))
        result.signal = WTERMSIG(result.status);
    return result;
}

run_result run_fwdeploy(const std::vector<std::string>& args, const std::string& cwd,
                        const std::string& path_prefix)
{
    run_options options;
    options.args = args;
    options.cwd = cwd;
    options.path_prefix = path_prefix;
    return run_program(options);
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

sandbox_dir::sandbox_dir(const std::string& prefix)
{
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                          prefix + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
    else
        root_ = name.data();
}

sandbox_dir::~sandbox_dir()
{
    if (!root_.empty())
        remove_tree(root_);
}

std::string sandbox_dir::path(const std::string& relative) const
{
    return relative.empty() ? root_ : root_ + "/" + relative;
}

std::string sandbox_dir::write(const std::string& relative, const std::string& contents,
                               mode_t mode)
{
    return write(relative, bytes_of(contents), mode);
}

std::string sandbox_dir::write(const std::string& relative, const std::vector<uint8_t>& contents,
                               mode_t mode)
{
    std::string full = path(relative);
    size_t slash = full.rfind('/');
    if (slash != std::string::npos && slash > 0)
        make_dirs(full.substr(0, slash));
    write_file(full, contents, mode);
    return full;
}

std::string sandbox_dir::make_dir(const std::string& relative)
{
    std::string full = path(relative);
    make_dirs(full);
    return full;
}

void write_file(const std::string& path, const std::vector<uint8_t>& contents, mode_t mode)
{
    write_all_or_fail(path, contents.data(), contents.size(), mode);
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int file_mode(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) < 0)
        return -1;
    return (int)(st.st_mode & 07777);
}

void remove_tree(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) < 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);  // a test may have taken the write bit away
        if (DIR* dir = ::opendir(path.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..")
                    remove_tree(path + "/" + name);
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

std::vector<uint8_t> bytes_of(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string hex_of(const uint8_t* bytes, size_t length)
{
    std::string text;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

std::vector<uint8_t> bytes_of_hex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (uint8_t)x;
    }
    return out;
}

std::vector<std::string> dir_entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int with_bind_mount(const std::string& source, const std::string& target, int (*body)(void*),
                    void* context)
{
    constexpr int NOT_PERMITTED = 125;
    fflush(stdout);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) < 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) < 0)
            _exit(NOT_PERMITTED);
        int result = body(context);
        fflush(stdout);
        _exit(result);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) == NOT_PERMITTED)
        return -1;
    return WEXITSTATUS(status);
}

int count_open_fds()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.')
                ++count;
        ::closedir(dir);
        --count;                      // the directory's own descriptor
    }
    return count;
}

std::vector<pid_t> child_processes()
{
    std::vector<pid_t> children;
    pid_t self = ::getpid();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return children;
    while (dirent* e = ::readdir(proc)) {
        char* end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        // A process may end between readdir and the read, and a read of its
        // stat file then fails (ESRCH): read it without a stream, which
        // would throw.
        std::string stat;
        int fd = ::open((std::string("/proc/") + e->d_name + "/stat").c_str(),
                        O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buf[512];
            ssize_t n = ::read(fd, buf, sizeof buf);
            ::close(fd);
            if (n > 0)
                stat.assign(buf, (size_t)n);
        }
        // pid (comm) state ppid ...: comm may hold spaces and parentheses.
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state;
        long ppid;
        if (sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == self)
            children.push_back((pid_t)pid);
    }
    ::closedir(proc);
    return children;
}

std::string write_package(const std::string& path, const bundle_package& package)
{
    write_file(path, bundle_bytes(package));
    return path;
}

std::string gzip_copy(const std::string& path)
{
    run_options options;
    options.program = "gzip";
    options.args = {"-c", "-n", path};
    run_result r = run_program(options);
    EXPECT_EQ(r.exit_code, 0) << "gzip " << path << ": " << r.err;
    std::string gz = path + ".gz";
    write_file(gz, bytes_of(r.out));
    return gz;
}
