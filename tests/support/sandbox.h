// A throw-away "board" directory and a way to run programs in it: the built
// fwdeploy by default, with its standard output and standard error captured
// separately, a working directory, extra environment and a time limit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "bundle/writer.h"

struct run_options {
    std::string program = FWDEPLOY_BIN;  // a bare name is looked up on the test's PATH
    std::string argv0;                   // empty: the program as given
    std::vector<std::string> args;       // after argv[0]
    std::string cwd;                     // empty: the test's own working directory
    std::string path_prefix;             // put first on PATH (colon-separated directories)
    std::vector<std::pair<std::string, std::string>> env;  // set or replaced for the run
    std::string input;                   // fed to standard input, then closed
    int timeout_ms = 30000;              // the whole group is killed after this
    // Called with the program's pid and its output so far each time more of
    // it arrives: a test acts on what the program says while it runs.
    std::function<void(pid_t, const std::string&)> on_output;
};

struct run_result {
    int status = -1;                     // raw wait status, -1 when it was never waited for
    int exit_code = -1;                  // exit status after a normal end, else -1
    int signal = 0;                      // the signal that ended it, else 0
    bool timed_out = false;
    // Processes started by the run that outlived the program: still running, or
    // ended without ever being waited for (a zombie of the program).
    int leftover_processes = 0;
    std::string out;
    std::string err;
    // When each line feed of `out` arrived, in milliseconds after the start: shows
    // whether output reached the pipe as it was printed or all at once later.
    std::vector<int> out_line_ms;
};

// Runs the program in a process group of its own; every descendant that is
// left when the program ends is counted, killed and collected.
run_result run_program(const run_options& options);

// Whether orphans of a run come to this process (not under qemu-user). Without
// it, a child that ended unwaited-for is seen only until init collects it.
bool collects_orphans();

// fwdeploy with these arguments in `cwd` (empty: the test's own), stand-ins first on PATH.
run_result run_fwdeploy(const std::vector<std::string>& args, const std::string& cwd = "",
                        const std::string& path_prefix = "");

// Splits at line feeds; a final line without a line feed is kept, an empty tail is not.
std::vector<std::string> split_lines(const std::string& text);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class sandbox_dir {
public:
    explicit sandbox_dir(const std::string& prefix = "fwdeploy-board");
    ~sandbox_dir();
    sandbox_dir(const sandbox_dir&) = delete;
    sandbox_dir& operator=(const sandbox_dir&) = delete;

    const std::string& root() const { return root_; }
    // The absolute path of `relative` inside the sandbox.
    std::string path(const std::string& relative) const;
    // Writes a file (parents made as needed) and returns its absolute path.
    std::string write(const std::string& relative, const std::string& contents, mode_t mode = 0644);
    std::string write(const std::string& relative, const std::vector<uint8_t>& contents,
                      mode_t mode = 0644);
    // Makes a directory (and its parents) and returns its absolute path.
    std::string make_dir(const std::string& relative);

private:
    std::string root_;
};

// Plain file helpers on absolute paths; failures end the test with a fatal message.
void write_file(const std::string& path, const std::vector<uint8_t>& contents, mode_t mode = 0644);
std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);   // empty when the file is missing
bool file_exists(const std::string& path);
int file_mode(const std::string& path);           // permission bits, or -1 when missing
void remove_tree(const std::string& path);
std::vector<uint8_t> bytes_of(const std::string& text);
// Lower-case hex digits of the bytes, and the bytes of such digits.
std::string hex_of(const uint8_t* bytes, size_t length);
std::vector<uint8_t> bytes_of_hex(const std::string& hex);
// Deterministic bytes that gzip cannot squeeze away.
std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed);

// Names in a directory, sorted, without "." and "..".
std::vector<std::string> dir_entries(const std::string& dir);

// Runs `body` in a child process with a mount namespace of its own in which
// `source` is bind-mounted over `target`; the mount goes with the child. The
// child's exit status (what body returned), or -1 when this machine does not
// let the test make mounts.
int with_bind_mount(const std::string& source, const std::string& target, int (*body)(void*),
                    void* context);

// Open descriptors of the test process.
int count_open_fds();
// Pids of this process's children, running or not yet waited for.
std::vector<pid_t> child_processes();

// Writes the package (correct checksums) to `path`; returns the path.
std::string write_package(const std::string& path, const bundle_package& package);
// Compresses `path` with the real gzip into path + ".gz", keeping the original.
std::string gzip_copy(const std::string& path);
