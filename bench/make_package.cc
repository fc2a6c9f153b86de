// Writes a benchmark package: one file block and, unless PART_TARGET is "-",
// one raw-partition block, each streamed from a data file given on the command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bundle/writer.h"

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: %s OUT DATA FILE_TARGET PART_TARGET ERASE_SIZE\n", argv[0]);
        return 2;
    }
    bundle_package package;
    bundle_block file;
    file.operation = OP_FILE_CREATE;
    file.target_path = argv[3];
    file.file_mode = 0644;
    file.data_file = argv[2];
    bundle_block part;
    part.operation = OP_RAW_PARTITION;
    part.target_path = argv[4];
    part.erase_size = strtoull(argv[5], nullptr, 0);
    part.data_file = argv[2];
    package.blocks = {file};
    if (std::string(argv[4]) != "-")
        package.blocks.push_back(part);
    FILE* out = fopen(argv[1], "wb");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    std::string error;
    int r = bundle_write(package, out, &error);
    if (fclose(out) != 0 || r < 0) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
