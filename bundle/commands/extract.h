// Unpacking a package for debugging: its scripts, each block's data, and a
// manifest that packs the same package again.
#pragma once

#include <string>

// Writes begin.sh, end.sh, block-NNN.bin and manifest.toml into `dir` (made if
// missing). Reads on past checksum errors, so a damaged package can be looked at.
// Exit status: 0, or 1 when the package is damaged or a file cannot be written.
int extract_command(const std::string& package, const std::string& dir);
