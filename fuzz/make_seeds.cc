// Writes seed packages for the fuzz targets: every operation code, scripts,
// zero-size blocks and a large erase size.
#include <cstdio>
#include <string>
#include <vector>

#include "bundle/writer.h"

static void save(const std::string& path, const std::vector<uint8_t>& bytes,
                 const std::vector<uint8_t>& prefix = {})
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        return;
    }
    fwrite(prefix.data(), 1, prefix.size(), f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

static bundle_block block(uint32_t op, const std::string& path, size_t size, uint64_t erase = 0)
{
    bundle_block b;
    b.operation = op;
    b.target_path = path;
    b.erase_size = erase;
    b.file_mode = 0644;
    for (size_t i = 0; i < size; ++i)
        b.data.push_back((uint8_t)(i * 7 + op));
    return b;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s PACKAGE_SEED_DIR FAULT_SEED_DIR\n", argv[0]);
        return 2;
    }
    std::vector<std::vector<uint8_t>> seeds;
    bundle_package all;
    all.begin_script = "echo begin\n";
    all.end_script = "echo end $OTA_STATUS\n";
    all.blocks = {block(OP_RAW_PARTITION, "/dev/mmcblk0p1", 5000, 8192),
                  block(OP_RAW_PARTITION, "/dev/mtd3", 300, 512),
                  block(OP_UBI_VOLUME, "/dev/ubi0_1", 100),
                  block(OP_FILE_REPLACE, "/data/a.bin", 4097),
                  block(OP_FILE_CREATE, "/data/new/b.bin", 10),
                  block(OP_FILE_DELETE, "/data/a.bin", 0),
                  block(OP_FILE_PATCH, "/data/c.bin", 64),
                  block(OP_SCRIPT, "post.sh", 20)};
    seeds.push_back(bundle_bytes(all));
    for (const bundle_block& b : all.blocks) {
        bundle_package one;
        one.blocks = {b};
        seeds.push_back(bundle_bytes(one));
    }
    bundle_package empty;
    seeds.push_back(bundle_bytes(empty));
    bundle_package zero;
    zero.blocks = {block(OP_FILE_CREATE, "/data/zero", 0), block(OP_RAW_PARTITION, "/dev/mtdblock2", 0, 0)};
    seeds.push_back(bundle_bytes(zero));
    bundle_package big;
    big.blocks = {block(OP_RAW_PARTITION, "/dev/mmcblk0p2", 16, 1ull << 40)};
    seeds.push_back(bundle_bytes(big));

    for (size_t i = 0; i < seeds.size(); ++i) {
        save(std::string(argv[1]) + "/seed-" + std::to_string(i), seeds[i]);
        for (uint8_t op = 0; op < 18; op += 3)
            save(std::string(argv[2]) + "/seed-" + std::to_string(i) + "-" + std::to_string(op),
                 seeds[i], {op, 1, 0, (uint8_t)(op % 3)});
    }
    return 0;
}
