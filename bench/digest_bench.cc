// Prints the speed of the board's SHA-256 and of its chunk MAC (OpenSSL's, on
// whichever code path the CPU or OPENSSL_ia32cap / OPENSSL_armcap selects)
// and, for comparison, BearSSL's portable SHA-256, over the same bytes in
// 4096-byte pieces as the verification pass feeds them.
#include <bearssl.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "backends/chunk_mac.h"
#include "backends/trust.h"

namespace {

template <typename F>
double best_mb_per_s(size_t bytes, F hash)
{
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        hash();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        double rate = (double)bytes / took.count() / 1e6;
        if (rate > best)
            best = rate;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* label = argc > 1 ? argv[1] : "default";
    const size_t size = 256u << 20;
    const size_t piece = 4096;
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = (unsigned char)(i * 2654435761u >> 13);
    uint8_t digest[32];
    double openssl = best_mb_per_s(size, [&] {
        sha256_context c;
        sha256_start(&c);
        for (size_t at = 0; at < size; at += piece)
            sha256_feed(&c, data.data() + at, piece);
        sha256_finish(&c, digest);
    });
    printf("%-10s OpenSSL SHA-256 %8.0f MB/s\n", label, openssl);
    // The pin's record: one MAC per 128 KiB chunk.
    const size_t chunk = 128 * 1024;
    uint8_t tag[CHUNK_MAC_SIZE];
    if (chunk_mac_key(nullptr) < 0)
        return 1;
    double mac = best_mb_per_s(size, [&] {
        for (size_t at = 0; at < size; at += piece) {
            if (at % chunk == 0)
                chunk_mac_begin(at / chunk);
            chunk_mac_feed(data.data() + at, piece);
            if ((at + piece) % chunk == 0)
                chunk_mac_end(tag);
        }
    });
    printf("%-10s chunk MAC       %8.0f MB/s\n", label, mac);
    if (argc > 2) {
        double bearssl = best_mb_per_s(size, [&] {
            br_sha256_context c;
            br_sha256_init(&c);
            for (size_t at = 0; at < size; at += piece)
                br_sha256_update(&c, data.data() + at, piece);
            br_sha256_out(&c, digest);
        });
        printf("%-10s BearSSL SHA-256 %8.0f MB/s\n", "portable", bearssl);
    }
    return 0;
}
