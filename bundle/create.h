// Packing: manifest in, package file out.
#pragma once

#include <string>

// Builds the package the manifest describes into `output` (gzip-compressed when
// asked). Exit status: 0, or 1 with the reason printed and no file left under
// the output name.
int create_command(const std::string& manifest_path, const std::string& output, bool gzip);
