// A real web server for the tests: Debian's nginx on 127.0.0.1 inside a network
// namespace that the test process made for itself, serving a directory of the
// test's over HTTP and HTTPS (certificates from a test CA made with openssl),
// with faults made by the kernel in that namespace: iptables rules that reset
// or drop a connection, and a slow link.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/sandbox.h"

struct web_server_options {
    bool ignore_ranges = false;       // max_ranges 0: every answer is the whole object
    bool client_certificates = false;  // the https server asks for a client certificate
};

struct web_server {
    sandbox_dir box{"fwdeploy-net"};
    std::string www;                  // what is served
    std::string why_not;              // why it could not start; empty when it runs
    // The test CA, the server's certificate, the board's client certificate, an
    // unrelated CA and a server certificate that has expired.
    std::string ca, client_cert, client_key, other_ca;
    pid_t pid = -1;

    explicit web_server(const web_server_options& options = {});
    ~web_server();
    web_server(const web_server&) = delete;
    web_server& operator=(const web_server&) = delete;

    bool running() const { return why_not.empty(); }
    std::string url(const std::string& name, bool https = false) const;
    // The access log: a line a request, "PORT \"GET /path HTTP/1.1\" STATUS
    // BODY-BYTES" and the tokens it carried in X-Api-Key, PRIVATE-TOKEN and
    // X-Board-Token, in quotes. nginx writes a line once a request has ended.
    std::string log() const;
    // Serves the expired certificate from now on (nginx reads its configuration anew).
    void use_expired_certificate();
    // Runs a shell command in the namespace (iptables-legacy, tc); true when it ended well.
    static bool run(const std::string& command);

private:
    void start();
    void stop();
};

constexpr int HTTP_PORT = 8080;
constexpr int HTTPS_PORT = 8443;
// Another origin on the same host, serving the same folder; /away/NAME on the
// first redirects there.
constexpr int OTHER_PORT = 8081;

// Commands that set up faults in the namespace, with iptables-legacy:
// every connection is reset once its server has sent `bytes` bytes (the
// client's packets from then on are answered with resets, until one is taken);
std::string reset_after(size_t bytes);
// only the first connection opened from now on is, whatever it reaches later;
std::string reset_once_after(size_t bytes);
// every packet of a connection is dropped once its server has sent `bytes`.
std::string stall_after(size_t bytes, int port = HTTP_PORT);

// Moves this process into a network namespace of its own with only its
// loopback interface up, once; later calls find it done. Empty when done,
// else why it cannot be (not root, no namespaces here).
std::string private_network();
