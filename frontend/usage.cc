#include "frontend/usage.h"

#include <cstdio>

void usage()
{
    static const char* const lines[] = {
        "This tool can unpackage the file you give to do upgrade.",
        "Unpackage support compressed or normal file by using different option.",
        "'bspatch' is inside to do differential upgrade.",
        "Usage:",
        "To unpackage compressed file.",
        "    fwdeploy -x NorvaleOta.bin.gz",
        "To unpackage a normal file.",
        "    fwdeploy -r NorvaleOta.bin",
        "If the package has data to do differential upgrade, you should provide a writable "
        "path to store temporary file.",
        "    fwdeploy -r NorvaleOta.bin -t /tmp",
        "    fwdeploy -x NorvaleOta.bin.gz -t /tmp",
        "Option -p [file] is to show the pictures(jpeg, png) while upgrading",
        "    fwdeploy -x NorvaleOta.bin.gz -t /tmp -p logo.jpg",
        "Option -s [opt] is to show the ui rotation while upgrading. 0: no rotation 1: 90 2: "
        "180 3 270",
        "Option -k [file] names the trusted public keys (PEM) whose signature a package must carry",
        "Option -c [string] is this board's compatibility string, which a package must name",
        "Option -m [version] is the installed version: older packages are refused",
        "Option -n only checks the package: nothing runs and nothing is written",
        "Option -l lists the slots and the boot loader's state as key=value lines",
        "Option -g confirms the booted slot: its boot attempts go back to the maximum",
    };
    for (const char* line : lines)
        puts(line);
}
