// The HTTP client holds the board's secrets (its client key, an access token)
// and hands the tool the package's bytes: tried here as other processes of the
// board would attack it, with the ids of nobody and of daemon, which other
// daemons share, while a real download from nginx runs. None may look at its
// descriptors, read a secret, or trace it; a tracer that could would rewrite
// the package on its way (shown against a curl it may trace). The client's id
// is one no other process has, and the client never outlives the tool.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <regex>
#include <string>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#if defined(__x86_64__)
#include <sys/syscall.h>
#endif

#include "tests/support/e2e_board.h"
#include "tests/support/net_board.h"
#include "tests/support/sandbox.h"
#include "tests/support/web_server.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr uid_t DAEMON = 1;           // Debian's daemon, and its group
constexpr uid_t NEWS = 9;             // a user that no other test runs as

// The pids that a wrapper in front of the client noted, one a line.
std::vector<pid_t> noted_pids(const std::string& file)
{
    std::vector<pid_t> pids;
    for (const std::string& line : split_lines(read_text(file)))
        pids.push_back((pid_t)std::stol(line));
    return pids;
}

// The effective user and group of a process, from its status.
bool effective_ids(pid_t pid, uid_t* uid, gid_t* gid)
{
    std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
    std::smatch u, g;
    if (!std::regex_search(status, u, std::regex("Uid:\\s+\\d+\\s+(\\d+)")) ||
        !std::regex_search(status, g, std::regex("Gid:\\s+\\d+\\s+(\\d+)")))
        return false;
    *uid = (uid_t)std::stoul(u[1].str());
    *gid = (gid_t)std::stoul(g[1].str());
    return true;
}

// A wrapper first on the path that notes the client's pid, waits until
// STATE/go.PID exists when asked to (an attacker's cue), and becomes the real
// client. -p: the shell keeps the ids it was started with. `own_session`: the
// client leaves the tool's process group, so that only the client's own
// settings, not the test's end of that group, can end it.
void write_wrapper(sandbox_dir& box, const std::string& state, bool wait_for_go,
                   bool own_session = false)
{
    box.make_dir("bin");
    std::string wait = wait_for_go ? "while [ ! -e " + state + "/go.$$ ]; do sleep 0.01; done\n" : "";
    box.write("bin/curl",
              "#!/bin/sh -p\necho $$ >> " + state + "/clients\n" + wait + "exec " +
                  (own_session ? "setsid " : "") + "/usr/bin/curl \"$@\"\n",
              0755);
}

// A directory that every user may write: the client and the attackers note there.
std::string open_dir(sandbox_dir& box, const std::string& name)
{
    ::chmod(box.root().c_str(), 0755);
    std::string dir = box.make_dir(name);
    ::chmod(dir.c_str(), 0777);
    return dir;
}

// What a process of some ids got of a running client.
struct reach {
    bool listed = false;              // its table of descriptors
    bool opened = false;              // any of them beyond the standard three
    bool secret = false;              // a secret among the bytes it read
    bool attached = false;            // it could trace the client
};

// Becomes `uid`/`gid` and no other group, in a child. False when it could not.
bool become(uid_t uid, gid_t gid)
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
           ::setresuid(uid, uid, uid) == 0;
}

// Reads what a descriptor of `pid` holds, as far as it gives without waiting.
std::string drain_descriptor(const std::string& path)
{
    std::string bytes;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && bytes.size() < (1u << 20))
        bytes.append(buffer, (size_t)n);
    ::close(fd);
    return bytes;
}

// Looks at the client `pid` from a child process with `uid` and `gid`: its
// descriptors, what they hold, and whether it may trace it.
reach look_at(pid_t pid, uid_t uid, gid_t gid, const std::vector<std::string>& secrets)
{
    int fds[2];
    if (::pipe(fds) < 0)
        return {};
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        reach r;
        if (become(uid, gid)) {
            std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
            DIR* d = ::opendir(fd_dir.c_str());
            r.listed = d != nullptr;
            if (d != nullptr)
                ::closedir(d);
            for (int fd = 3; fd < 64; ++fd) {
                std::string path = fd_dir + "/" + std::to_string(fd);
                int probe = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                if (probe < 0)
                    continue;
                ::close(probe);
                r.opened = true;
                std::string bytes = drain_descriptor(path);
                for (const std::string& s : secrets)
                    r.secret = r.secret || bytes.find(s) != std::string::npos;
            }
            // Seized, not stopped: the tracee runs on, and is let go when we end.
            r.attached = ::ptrace((__ptrace_request)PTRACE_SEIZE, pid, nullptr, nullptr) == 0;
        }
        (void)!::write(fds[1], &r, sizeof r);
        _exit(0);
    }
    ::close(fds[1]);
    reach r;
    if (child < 0 || ::read(fds[0], &r, sizeof r) != (ssize_t)sizeof r)
        ADD_FAILURE() << "the look at the client did not report";
    ::close(fds[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return r;
}

// Whether `pid` has ended: gone, or a zombie waiting for whoever collects it.
bool has_ended(pid_t pid)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

// Whether `pid` ends by itself within `limit_ms`.
bool ends_by_itself(pid_t pid, int limit_ms)
{
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (has_ended(pid))
            return true;
        ::usleep(10000);
    }
    return false;
}

}  // namespace

// While a slow HTTPS download with a client key and an access token runs (held
// still by the kernel after its first bytes), processes of nobody and of
// daemon can neither list the client's descriptors, read the key or the token
// through them, nor trace it; and once the client has read them, they are not
// left in any of its descriptors, even for root.
TEST(HttpClientReach, TheClientsSecretsAreOutOfReachWhileItRuns)
{
    web_server server(web_server_options{false, true});
    REQUIRE_SERVER(server);
    net_board board;
    std::string state = open_dir(board.box, "state");
    write_wrapper(board.box, state, false);
    ::mkdir((server.www + "/private").c_str(), 0755);
    board.serve(server, "private/package.bin", board.package(false), false);
    const std::string token = "let-me-in";
    const std::string api_key = "api-secret-4711";
    std::string headers = board.box.write(
        "headers", "X-Board-Token: " + token + "\nX-Api-Key: " + api_key + "\n", 0600);
    // A line of the key's own base64, which no certificate holds.
    std::vector<std::string> key_lines = split_lines(read_text(server.client_key));
    ASSERT_GE(key_lines.size(), 3u);
    const std::vector<std::string> secrets = {token, api_key, key_lines[1]};
    ASSERT_TRUE(web_server::run(stall_after(96 * 1024, HTTPS_PORT)));

    struct look {
        std::string who;
        reach got;
    };
    std::vector<look> looks;
    std::vector<std::string> left_in_pipes;
    bool looked = false;
    run_options o;
    o.args = {"-r", server.url("private/package.bin", true)};
    o.path_prefix = board.box.path("bin");
    o.env = {{"FWDEPLOY_TEST_HTTP_CLIENT", "curl"},
             {"FWDEPLOY_TEST_HTTP_CA_FILE", server.ca},
             {"FWDEPLOY_TEST_HTTP_CLIENT_CERT", server.client_cert},
             {"FWDEPLOY_TEST_HTTP_CLIENT_KEY", server.client_key},
             {"FWDEPLOY_TEST_HTTP_HEADER_FILE", headers},
             {"FWDEPLOY_TEST_HTTP_STALL_MS", "60000"}};
    // Once the verification pass has its first bytes, the client has used the
    // key (the handshake is done) and the token (the request went out).
    o.on_output = [&](pid_t, const std::string& out) {
        if (looked || out.find("(0%)(1/2)(state sub 0)\n") == std::string::npos)
            return;
        looked = true;
        std::vector<pid_t> clients = noted_pids(state + "/clients");
        ASSERT_EQ(clients.size(), 1u);
        pid_t client = clients[0];
        looks.push_back({"nobody", look_at(client, NOBODY, NOBODY, secrets)});
        looks.push_back({"daemon", look_at(client, DAEMON, DAEMON, secrets)});
        // Root may look anywhere: nothing of a secret is left to read.
        std::string fd_dir = "/proc/" + std::to_string(client) + "/fd";
        for (const std::string& name : dir_entries(fd_dir)) {
            if (std::stoi(name) <= 2)
                continue;
            std::string bytes = drain_descriptor(fd_dir + "/" + name);
            for (const std::string& s : secrets)
                if (bytes.find(s) != std::string::npos)
                    left_in_pipes.push_back(name + ": " + s);
        }
        web_server::run("iptables-legacy -F");
    };
    run_result r = run_program(o);
    web_server::run("iptables-legacy -F");
    ASSERT_TRUE(looked) << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(read_file(board.target) == board.data);
    for (const look& l : looks) {
        SCOPED_TRACE(l.who);
        EXPECT_FALSE(l.got.listed);
        EXPECT_FALSE(l.got.opened);
        EXPECT_FALSE(l.got.secret);
        EXPECT_FALSE(l.got.attached);
    }
    EXPECT_TRUE(left_in_pipes.empty()) << left_in_pipes.front();
    // The token went to the server, the key proved the board.
    EXPECT_TRUE(contains(server.log(), "\"" + token + "\"")) << server.log();
}

// fwdeploy ended by a signal while its client downloads, the bytes flowing
// (curl from nginx over a slow link) or the connection held silent (a client
// that has written the head and the first bytes and now waits, as curl waits
// on a server that holds the connection): the client ends with the tool
// rather than stay, orphaned, for as long as the server holds on.
TEST(HttpClientReach, TheClientEndsWithTheTool)
{
    web_server server;
    REQUIRE_SERVER(server);
    net_board board;
    std::string state = open_dir(board.box, "state");
    std::vector<uint8_t> package = board.package(false);
    std::string served = board.serve(server, "package.bin", package, false);
    std::string copy = board.box.write("package.bin", package);
    ::chmod(copy.c_str(), 0644);
    std::string silent = board.box.make_dir("silent");
    board.box.write("silent/curl",
                    "#!/bin/sh -p\necho $$ >> " + state + "/clients\nprintf 'HTTP/1.1 200 OK\\r\\n"
                    "Content-Length: " + std::to_string(package.size()) + "\\r\\n\\r\\n'\n"
                    "head -c 4096 " + copy + "\nexec setsid sleep 3600\n",
                    0755);
    struct end_case {
        std::string name;
        int signal;
        bool silent;
    };
    const std::vector<end_case> cases = {
        {"SIGTERM while the bytes flow", SIGTERM, false},
        {"SIGKILL while the bytes flow", SIGKILL, false},
        {"SIGTERM while the connection is silent", SIGTERM, true},
        {"SIGKILL while the connection is silent", SIGKILL, true},
        {"SIGINT while the connection is silent", SIGINT, true},
    };
    for (const end_case& c : cases) {
        SCOPED_TRACE(c.name);
        board.reset();
        ::unlink((state + "/clients").c_str());
        write_wrapper(board.box, state, false, true);
        if (!c.silent) {
            ASSERT_TRUE(web_server::run(
                "tc qdisc add dev lo root tbf rate 1mbit burst 16kb latency 400ms"));
        }
        pid_t client = -1;
        run_options o;
        o.args = {"-r", server.url(served)};
        o.path_prefix = board.box.path(c.silent ? "silent" : "bin");
        o.env = {{"FWDEPLOY_TEST_HTTP_CLIENT", "curl"}, {"FWDEPLOY_TEST_HTTP_STALL_MS", "60000"}};
        // The first progress line: the client has sent the package's first
        // bytes, and (when silent) has nothing more to send.
        o.on_output = [&](pid_t tool, const std::string& out) {
            if (client > 0 || out.find("(0%)(1/2)(state sub 0)\n") == std::string::npos)
                return;
            std::vector<pid_t> clients = noted_pids(state + "/clients");
            ASSERT_FALSE(clients.empty());
            client = clients.back();
            ::kill(tool, c.signal);
        };
        run_result r = run_program(o);
        bool ended = client > 0 && ends_by_itself(client, 20000);
        web_server::run("tc qdisc del dev lo root");
        ASSERT_GT(client, 0) << r.out;
        EXPECT_EQ(r.signal, c.signal) << r.out;
        EXPECT_TRUE(ended);
        if (!ended)
            ::kill(client, SIGKILL);
        EXPECT_TRUE(read_text(board.target) == "old contents");
    }
}

// The client's id is one that no process has when the run starts: a process
// that already runs under an id of the range keeps it from the client, a
// range with no free id is refused, and so is a configured user that another
// process runs as.
TEST(HttpClientReach, TheClientsIdIsNoOtherProcesses)
{
    web_server server;
    REQUIRE_SERVER(server);
    net_board board;
    std::string state = open_dir(board.box, "state");
    board.box.write("bin/curl",
                    "#!/bin/sh\nid -u >> " + state + "/ids\nexec /usr/bin/curl \"$@\"\n", 0755);
    std::string served = board.serve(server, "package.bin", board.package(false), false);
    const uid_t taken = 1879100000;
    struct id_case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> env;
        uid_t holder;                 // a process runs as this user during the run
        std::string ids;              // the client's, a line a request; empty: refused
        std::string line;
    };
    const std::vector<id_case> cases = {
        {"the other id of two", {{"FWDEPLOY_TEST_HTTP_IDS", "1879100000-1879100001"}}, taken,
         "1879100001\n1879100001\n", ""},
        {"the only id of the range taken", {{"FWDEPLOY_TEST_HTTP_IDS", "1879100000-1879100000"}},
         taken, "", "HTTP client: no id of its own found in 1879100000-1879100000\n"},
        {"a configured user that another process runs as", {{"FWDEPLOY_TEST_HTTP_USER", "news"}},
         NEWS, "",
         "HTTP client user news is shared with process %P: the client needs a user of its own\n"},
        {"a configured user of its own", {{"FWDEPLOY_TEST_HTTP_USER", "news"}}, 0, "9\n9\n", ""},
    };
    for (const id_case& c : cases) {
        SCOPED_TRACE(c.name);
        board.reset();
        ::unlink((state + "/ids").c_str());
        pid_t holder = -1;
        if (c.holder != 0) {
            holder = ::fork();
            if (holder == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (become(c.holder, c.holder))
                    ::pause();
                _exit(1);
            }
            // Running as that user once its status says so.
            uid_t uid = 0;
            gid_t gid = 0;
            while (!(effective_ids(holder, &uid, &gid) && uid == c.holder))
                ::usleep(1000);
        }
        run_options o;
        o.args = {"-r", server.url(served)};
        o.path_prefix = board.box.path("bin");
        o.env = c.env;
        o.env.push_back({"FWDEPLOY_TEST_HTTP_CLIENT", "curl"});
        run_result r = run_program(o);
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        EXPECT_EQ(read_text(state + "/ids"), c.ids);
        EXPECT_EQ(r.exit_code, c.ids.empty() ? 255 : 0) << r.out;
        EXPECT_EQ(read_file(board.target) == board.data, !c.ids.empty());
        std::string line = std::regex_replace(c.line, std::regex("%P"), std::to_string(holder));
        EXPECT_TRUE(contains(r.out, line)) << line << r.out;
    }
}

#if defined(__x86_64__)
namespace {

// A tracer of the client: it rewrites every write of the client to its
// standard output, past the head, into `forged`'s bytes at the same offset of
// the body. Returns when the client ends.
void forge(pid_t pid, const std::vector<uint8_t>& forged)
{
    if (::ptrace((__ptrace_request)PTRACE_INTERRUPT, pid, nullptr, nullptr) < 0)
        return;
    uint64_t offset = 0;
    bool body = false;
    uint32_t last4 = 0;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, __WALL) < 0 || WIFEXITED(status) || WIFSIGNALED(status))
            return;
        int inject = 0;
        if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            ::ptrace((__ptrace_request)PTRACE_GET_SYSCALL_INFO, pid, (void*)sizeof info, &info);
            if (info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_write &&
                info.entry.args[0] == 1) {
                std::vector<uint8_t> bytes((size_t)info.entry.args[2]);
                iovec local{bytes.data(), bytes.size()};
                iovec remote{(void*)info.entry.args[1], bytes.size()};
                if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) == (ssize_t)bytes.size()) {
                    for (uint8_t& b : bytes) {
                        if (!body) {
                            last4 = (last4 << 8) | b;
                            body = last4 == 0x0d0a0d0a;
                        } else if (offset < forged.size()) {
                            b = forged[offset++];
                        }
                    }
                    ::process_vm_writev(pid, &local, 1, &remote, 1, 0);
                }
            }
        } else if ((status >> 16) == 0 && WSTOPSIG(status) != SIGTRAP) {
            inject = WSTOPSIG(status);  // a signal of its own, passed on
        }
        ::ptrace(PTRACE_SYSCALL, pid, nullptr, (void*)(long)inject);
    }
}

// Who attacks each client the wrapper announces.
enum attacker { AS_NOBODY, AS_DAEMON, AS_THE_CLIENT };

// Runs until STATE/done exists: for each client the wrapper noted, an
// attacker of the row's ids tries to trace it (before it becomes curl, and
// again afterwards until it ends), forging what it writes where it can, and
// notes "attached" or "refused" in STATE/report; then lets the client go on.
pid_t start_attacks(const std::string& state, attacker who, const std::vector<uint8_t>& forged)
{
    pid_t orchestrator = ::fork();
    if (orchestrator != 0)
        return orchestrator;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    size_t handled = 0;
    std::vector<pid_t> attackers;
    while (!file_exists(state + "/done")) {
        std::vector<pid_t> clients = noted_pids(state + "/clients");
        for (; handled < clients.size(); ++handled) {
            pid_t client = clients[handled];
            uid_t uid = who == AS_DAEMON ? DAEMON : NOBODY;
            gid_t gid = uid;
            if (who == AS_THE_CLIENT && !effective_ids(client, &uid, &gid))
                continue;
            pid_t a = ::fork();
            if (a == 0) {
                bool attached = false;
                if (become(uid, gid)) {
                    std::string go = state + "/go." + std::to_string(client);
                    while (!attached && !has_ended(client)) {
                        attached = ::ptrace((__ptrace_request)PTRACE_SEIZE, client, nullptr,
                                            (void*)(long)PTRACE_O_TRACESYSGOOD) == 0;
                        if (!file_exists(go))
                            write_file(go, {}, 0666);
                        if (!attached)
                            ::usleep(1000);
                    }
                }
                int report = ::open((state + "/report").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
                dprintf(report, "%s\n", attached ? "attached" : "refused");
                ::close(report);
                if (attached)
                    forge(client, forged);
                _exit(0);
            }
            attackers.push_back(a);
        }
        ::usleep(5000);
    }
    for (pid_t a : attackers)
        ::waitpid(a, nullptr, 0);
    _exit(0);
}

// The package's data says what it is, eight bytes at a time; the forgery
// turns each group around. The byte sums stay the same, so the forged
// package is as sound as the genuine one.
std::vector<uint8_t> marked_data(bool forged)
{
    std::string group = forged ? "!ENIUNEG" : "GENUINE!";
    std::string data;
    for (int i = 0; i < 32 * 1024; ++i)
        data += group;
    return bytes_of(data);
}

}  // namespace

// A tracer with nobody's ids, or daemon's, attacks each client fwdeploy
// starts: it may trace none, and the genuine package is applied. The same
// tracer against a curl of its own ids forges what it writes: were the client
// within its reach, as when it ran as nobody, the board would apply the forgery.
TEST(HttpClientReach, ATracerCannotForgeThePackage)
{
    web_server server;
    REQUIRE_SERVER(server);
    net_board board;
    bundle_package p;
    p.begin_script = "echo begin >> " + board.ran + "\n";
    p.end_script = "echo \"end $OTA_STATUS\" >> " + board.ran + "\n";
    p.blocks.push_back(replace_block(board.target, marked_data(false)));
    std::vector<uint8_t> genuine = bundle_bytes(p);
    p.blocks[0] = replace_block(board.target, marked_data(true));
    std::vector<uint8_t> forged = bundle_bytes(p);
    ASSERT_EQ(genuine.size(), forged.size());
    std::string served = board.serve(server, "package.bin", genuine, false);

    for (attacker who : {AS_NOBODY, AS_DAEMON}) {
        SCOPED_TRACE(who == AS_NOBODY ? "nobody" : "daemon");
        board.reset();
        std::string state = open_dir(board.box, who == AS_NOBODY ? "nobody" : "daemon");
        write_wrapper(board.box, state, true);
        pid_t attacks = start_attacks(state, who, forged);
        run_options o;
        o.args = {"-r", server.url(served)};
        o.path_prefix = board.box.path("bin");
        o.env = {{"FWDEPLOY_TEST_HTTP_CLIENT", "curl"}, {"FWDEPLOY_TEST_HTTP_STALL_MS", "30000"}};
        run_result r = run_program(o);
        write_file(state + "/done", {});
        ::waitpid(attacks, nullptr, 0);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(read_file(board.target) == marked_data(false));
        EXPECT_EQ(read_text(board.ran), "begin\nend 0\n");
        // Both requests (the verification and the apply pass) were attacked.
        EXPECT_EQ(read_text(state + "/report"), "refused\nrefused\n");
    }

    // The tracer itself, against a curl of its own ids that it may trace.
    std::string state = open_dir(board.box, "control");
    std::string out = state + "/out";
    pid_t attacks = start_attacks(state, AS_THE_CLIENT, forged);
    pid_t curl = ::fork();
    if (curl == 0) {
        if (!become(1879000001, 1879000001))
            _exit(126);
        ::prctl(PR_SET_DUMPABLE, 1);
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(fd, 1);
        int noted = ::open((state + "/clients").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
        dprintf(noted, "%d\n", (int)::getpid());
        ::close(noted);
        std::string go = state + "/go." + std::to_string(::getpid());
        while (!file_exists(go))
            ::usleep(5000);
        ::execlp("curl", "curl", "-q", "-sS", "--dump-header", "-", server.url(served).c_str(),
                 (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    ::waitpid(curl, &status, 0);
    write_file(state + "/done", {});
    ::waitpid(attacks, nullptr, 0);
    EXPECT_EQ(read_text(state + "/report"), "attached\n");
    std::vector<uint8_t> got = read_file(out);
    ASSERT_GE(got.size(), forged.size());
    EXPECT_TRUE(std::vector<uint8_t>(got.end() - (long)forged.size(), got.end()) == forged);
}
#endif
