// A sandbox board for installs from the test's web server: one file to
// replace, a record of the scripts that ran, and the lines a run prints about
// its retries.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"
#include "tests/support/web_server.h"

constexpr size_t NET_DATA_SIZE = 400 * 1024;

#define REQUIRE_SERVER(server)                                                            \
    if (!(server).running())                                                              \
    GTEST_SKIP() << "no web server: " << (server).why_not

// A board with one file to replace and a record of the scripts that ran.
struct net_board {
    sandbox_dir box{"fwdeploy-netboard"};
    std::string target = box.write("data/app.bin", "old contents");
    std::string ran = box.path("ran");
    std::vector<uint8_t> data = pattern_bytes(NET_DATA_SIZE, 91);
    openssl_key key = make_openssl_key(box, "release");

    void reset()
    {
        write_file(target, bytes_of("old contents"));
        ::unlink(ran.c_str());
    }

    // The package's bytes: its begin script runs `begin`, and the scripts say
    // that they ran; signed with the release key or not.
    std::vector<uint8_t> package(bool sign, const std::string& begin = "",
                                 const std::vector<uint8_t>* other = nullptr) const
    {
        bundle_package p;
        p.begin_script = "echo begin >> " + ran + "\n" + begin;
        p.end_script = "echo \"end $OTA_STATUS\" >> " + ran + "\n";
        p.blocks.push_back(replace_block(target, other != nullptr ? *other : data));
        std::vector<uint8_t> bytes = bundle_bytes(p);
        if (sign) {
            std::vector<uint8_t> t = openssl_trailer(bytes, &key);
            bytes.insert(bytes.end(), t.begin(), t.end());
        }
        return bytes;
    }

    // Puts `bytes` on the server as `name`, gzip-compressed when asked; the
    // name it is served under.
    static std::string serve(const web_server& server, const std::string& name,
                             const std::vector<uint8_t>& bytes, bool gzip)
    {
        std::string path = server.www + "/" + name;
        write_file(path, bytes);
        if (!gzip)
            return name;
        gzip_copy(path);
        return name + ".gz";
    }

    run_result install(const std::string& url, bool gzip, bool sign,
                       std::vector<std::pair<std::string, std::string>> env = {},
                       std::vector<std::string> extra = {}) const
    {
        run_options o;
        o.args = {gzip ? "-x" : "-r", url};
        if (sign)
            o.args.insert(o.args.end(), {"-k", key.public_pem});
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        // A retry comes after a moment. A stall is twenty seconds, long
        // enough for a loaded machine; a test of stalls asks for one second.
        o.env = {{"FWDEPLOY_TEST_HTTP_STALL_MS", "20000"},
                 {"FWDEPLOY_TEST_HTTP_PAUSE_MS", "20"},
                 {"FWDEPLOY_TEST_HTTP_RETRIES", "3"}};
        o.env.insert(o.env.end(), env.begin(), env.end());
        return run_program(o);
    }
};

inline std::vector<std::string> retry_lines(const run_result& r)
{
    std::vector<std::string> found;
    for (const std::string& line : split_lines(r.out))
        if (line.find(" resumed at byte ") != std::string::npos)
            found.push_back(line);
    return found;
}

// Every byte a retry names lies inside the package, and the retries count up.
// The retry lines in order, each with when it reached the test, in
// milliseconds after the run started.
inline std::vector<std::pair<std::string, int>> timed_retry_lines(const run_result& r)
{
    std::vector<std::pair<std::string, int>> found;
    std::vector<std::string> lines = split_lines(r.out);
    for (size_t i = 0; i < lines.size() && i < r.out_line_ms.size(); ++i)
        if (lines[i].find(" resumed at byte ") != std::string::npos)
            found.push_back({lines[i], r.out_line_ms[i]});
    return found;
}

inline void expect_sane_retries(const run_result& r, const std::string& url, size_t size)
{
    int number = 0;
    for (const std::string& line : retry_lines(r)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, std::regex("Download of (.*) resumed at byte "
                                                         "([0-9]+) \\(retry ([0-9]) of 3\\)")))
            << line;
        EXPECT_EQ(m[1].str(), url);
        EXPECT_LT(std::stoull(m[2].str()), size);
        int retry = std::stoi(m[3].str());
        EXPECT_TRUE(retry == number + 1 || retry == 1) << r.out;
        number = retry;
    }
}

