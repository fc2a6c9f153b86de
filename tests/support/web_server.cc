#include "tests/support/web_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool run_quietly(const std::vector<std::string>& argv, std::string* err = nullptr)
{
    run_options o;
    o.program = argv.at(0);
    o.args.assign(argv.begin() + 1, argv.end());
    run_result r = run_program(o);
    if (err != nullptr)
        *err = r.err;
    return r.exit_code == 0;
}

bool openssl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string err;
    bool ok = run_quietly(argv, &err);
    EXPECT_TRUE(ok) << "openssl " << args.at(0) << ": " << err;
    return ok;
}

// Whether a TCP connection to the port on 127.0.0.1 is taken.
bool accepting(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string connbytes(size_t bytes)
{
    return "-m connbytes --connbytes " + std::to_string(bytes) +
           ": --connbytes-dir reply --connbytes-mode bytes";
}

}  // namespace

std::string private_network()
{
    static std::string why = [] {
        if (geteuid() != 0)
            return std::string("needs root");
        if (::unshare(CLONE_NEWNET) < 0)
            return std::string("no network namespace: ") + strerror(errno);
        // A link's packet size: on loopback's own, a whole window goes in a
        // packet or two, and the client says little that a fault could answer.
        if (!run_quietly({"ip", "link", "set", "lo", "up", "mtu", "1500"}))
            return std::string("the loopback interface stays down");
        // The reset rules count the bytes of a connection.
        run_quietly({"sysctl", "-q", "-w", "net.netfilter.nf_conntrack_acct=1"});
        // Windows of a few segments, as on a real link: on loopback a whole
        // package could otherwise be on its way before a fault could strike.
        run_quietly({"sysctl", "-q", "-w", "net.ipv4.tcp_rmem=4096 32768 65536"});
        run_quietly({"sysctl", "-q", "-w", "net.ipv4.tcp_wmem=4096 32768 65536"});
        return std::string();
    }();
    return why;
}

std::string reset_after(size_t bytes)
{
    return "iptables-legacy -A INPUT -p tcp --dport " + std::to_string(HTTP_PORT) + " " +
           connbytes(bytes) + " -j REJECT --reject-with tcp-reset";
}

// The first new connection gets a mark (a quota that one SYN uses up), and
// only a marked connection is reset. A rule that resets one packet only is
// not enough: a reset whose sequence number the client's data has overtaken
// gets a challenge instead, and the connection goes on.
std::string reset_once_after(size_t bytes)
{
    std::string port = std::to_string(HTTP_PORT);
    return "iptables-legacy -A INPUT -p tcp --dport " + port +
           " -m conntrack --ctstate NEW -m quota --quota 100 -j CONNMARK --set-mark 1 && "
           "iptables-legacy -A INPUT -p tcp --dport " + port + " -m connmark --mark 1 " +
           connbytes(bytes) + " -j REJECT --reject-with tcp-reset";
}

std::string stall_after(size_t bytes, int port)
{
    return "iptables-legacy -A INPUT -p tcp --dport " + std::to_string(port) + " " +
           connbytes(bytes) + " -j DROP";
}

bool web_server::run(const std::string& command)
{
    run_options o;
    o.program = "sh";
    o.args = {"-c", command};
    return run_program(o).exit_code == 0;
}

web_server::web_server(const web_server_options& options)
{
    why_not = private_network();
    if (!why_not.empty())
        return;
    if (!run_quietly({"sh", "-c", "command -v nginx && command -v iptables-legacy"})) {
        why_not = "nginx or iptables-legacy is not installed";
        return;
    }
    www = box.make_dir("www");
    box.make_dir("tmp");
    // A CA, the server's certificate for 127.0.0.1, the board's client
    // certificate, an unrelated CA, and an expired server certificate.
    std::string b = box.root() + "/";
    auto key = [&](const std::string& name) {
        return openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                        b + name + ".key"});
    };
    box.write("san.ext", "subjectAltName=IP:127.0.0.1\n");
    box.write("ca.cnf", "[ca]\ndefault_ca=d\n[d]\ndatabase=" + b + "index.txt\nnew_certs_dir=" +
                            b + "\nserial=" + b + "serial\ndefault_md=sha256\npolicy=p\n"
                            "copy_extensions=copy\n[p]\ncommonName=supplied\n");
    box.write("index.txt", "");
    box.write("serial", "1000\n");
    bool made =
        key("ca") &&
        openssl({"req", "-x509", "-new", "-key", b + "ca.key", "-subj", "/CN=fwdeploy test CA",
                 "-days", "30", "-out", b + "ca.pem"}) &&
        key("other-ca") &&
        openssl({"req", "-x509", "-new", "-key", b + "other-ca.key", "-subj", "/CN=another CA",
                 "-days", "30", "-out", b + "other-ca.pem"}) &&
        key("server") &&
        openssl({"req", "-new", "-key", b + "server.key", "-subj", "/CN=127.0.0.1",
                 "-addext", "subjectAltName=IP:127.0.0.1", "-out", b + "server.csr"}) &&
        openssl({"x509", "-req", "-in", b + "server.csr", "-CA", b + "ca.pem", "-CAkey",
                 b + "ca.key", "-set_serial", "2", "-days", "30", "-extfile", b + "san.ext",
                 "-out", b + "server.pem"}) &&
        openssl({"ca", "-batch", "-config", b + "ca.cnf", "-cert", b + "ca.pem", "-keyfile",
                 b + "ca.key", "-in", b + "server.csr", "-startdate", "20200101000000Z",
                 "-enddate", "20200102000000Z", "-notext", "-out", b + "expired.pem"}) &&
        key("client") &&
        openssl({"req", "-new", "-key", b + "client.key", "-subj", "/CN=board 1", "-out",
                 b + "client.csr"}) &&
        openssl({"x509", "-req", "-in", b + "client.csr", "-CA", b + "ca.pem", "-CAkey",
                 b + "ca.key", "-set_serial", "3", "-days", "30", "-out", b + "client.pem"});
    if (!made) {
        why_not = "the test certificates could not be made";
        return;
    }
    ca = b + "ca.pem";
    other_ca = b + "other-ca.pem";
    client_cert = b + "client.pem";
    client_key = b + "client.key";
    ::chmod(client_key.c_str(), 0600);
    std::string config =
        "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " + b +
        "error.log;\npid " + b + "nginx.pid;\nevents { worker_connections 64; }\nhttp {\n"
        // Each request with the port it came to and the tokens it carried.
        "  log_format tokens '$server_port \"$request\" $status $body_bytes_sent "
        "\"$http_x_api_key\" \"$http_private_token\" \"$http_x_board_token\"';\n"
        "  access_log " + b + "access.log tokens;\n"
        "  client_body_temp_path " + b + "tmp;\n  proxy_temp_path " + b + "tmp;\n"
        "  fastcgi_temp_path " + b + "tmp;\n  uwsgi_temp_path " + b + "tmp;\n"
        "  scgi_temp_path " + b + "tmp;\n"
        "  default_type application/octet-stream;\n" +
        (options.ignore_ranges ? "  max_ranges 0;\n" : "") +
        "  server {\n    listen 127.0.0.1:" + std::to_string(HTTP_PORT) + ";\n    root " + www +
        // A release withdrawn behind a signed URL that expired: everything
        // is forbidden while the flag file stands.
        ";\n    if (-f $document_root/forbidden.flag) { return 403; }\n"
        "    location = /error.bin { return 500; }\n"
        "    location /private/ { if ($http_x_board_token != \"let-me-in\") { return 403; } }\n"
        "    location ~ ^/r301/(.*)$ { return 301 /$1; }\n"
        "    location ~ ^/r302/(.*)$ { return 302 /$1; }\n"
        "    location ~ ^/r303/(.*)$ { return 303 /$1; }\n"
        "    location ~ ^/r307/(.*)$ { return 307 /$1; }\n"
        "    location ~ ^/r308/(.*)$ { return 308 /$1; }\n"
        "    location ~ ^/away/(.*)$ { return 302 http://127.0.0.1:" + std::to_string(OTHER_PORT) +
        "/$1; }\n"
        "  }\n"
        "  server {\n    listen 127.0.0.1:" + std::to_string(OTHER_PORT) + ";\n    root " + www +
        ";\n  }\n"
        "  server {\n    listen 127.0.0.1:" + std::to_string(HTTPS_PORT) + " ssl;\n    root " +
        www + ";\n    ssl_certificate " + b + "server-now.pem;\n    ssl_certificate_key " + b +
        "server.key;\n" +
        (options.client_certificates
             ? "    ssl_client_certificate " + ca + ";\n    ssl_verify_client on;\n"
             : "") +
        "    location /private/ { if ($http_x_board_token != \"let-me-in\") { return 403; } }\n"
        "    location = /to-http.bin { return 301 http://127.0.0.1:" +
        std::to_string(HTTP_PORT) + "/package.bin; }\n  }\n}\n";
    box.write("nginx.conf", config);
    ::link((b + "server.pem").c_str(), (b + "server-now.pem").c_str());
    start();
}

void web_server::start()
{
    std::string b = box.root() + "/";
    pid = ::fork();
    if (pid == 0) {
        // Gone with the test, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::execlp("nginx", "nginx", "-c", (b + "nginx.conf").c_str(), (char*)nullptr);
        _exit(127);
    }
    // Ready once both ports take connections; a server that does not start
    // says why in its error log.
    for (int tries = 0; tries < 500 && !(accepting(HTTP_PORT) && accepting(HTTPS_PORT) &&
                                         accepting(OTHER_PORT));
         ++tries)
        ::usleep(10000);
    if (!accepting(HTTP_PORT) || !accepting(HTTPS_PORT) || !accepting(OTHER_PORT))
        why_not = "nginx did not start: " + read_text(b + "error.log");
}

void web_server::stop()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
    // The listening sockets close with the process.
    for (int tries = 0; tries < 100 && accepting(HTTP_PORT); ++tries)
        ::usleep(10000);
}

web_server::~web_server()
{
    run("iptables-legacy -F");
    run_quietly({"tc", "qdisc", "del", "dev", "lo", "root"});
    stop();
}

std::string web_server::log() const
{
    return read_text(box.path("access.log"));
}

std::string web_server::url(const std::string& name, bool https) const
{
    return std::string(https ? "https" : "http") + "://127.0.0.1:" +
           std::to_string(https ? HTTPS_PORT : HTTP_PORT) + "/" + name;
}

void web_server::use_expired_certificate()
{
    std::string b = box.root() + "/";
    ::unlink((b + "server-now.pem").c_str());
    ::link((b + "expired.pem").c_str(), (b + "server-now.pem").c_str());
    // A single process without a master reads its configuration only at its start.
    stop();
    start();
}
