// Encrypted packages on the host: sealing a package file in an envelope for
// the boards that may read it (OpenSSL), and opening one as a board does (the
// board's own reader, with a board's key). The layout is the board's
// (source/envelope_source.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/trailers.h"

constexpr uint32_t ENVELOPE_CHUNK = 64 * 1024;

// The recipients' public keys in PEM files, one or more PUBLIC KEY blocks a
// file, and those the files a recipients file lists (one path a line, blank
// lines and lines that begin with '#' skipped; relative paths from the
// recipients file's folder). 0, or -1 with *error set.
int load_recipients(const std::vector<std::string>& key_files, const std::string& recipients_file,
                    std::vector<pkey_ptr>* keys, std::string* error);

// Seals the package file `in` for `recipients` into `out` (written under a
// temporary name and renamed when whole; `out` may be `in`). 0, or -1 with
// *error set.
int seal_package(const std::string& in, const std::vector<pkey_ptr>& recipients,
                 const std::string& out, std::string* error);

// Whether the file begins with the envelope's magic.
bool file_is_sealed(const std::string& path);

// Opens the envelope `in` with the private key(s) in `key_file` (a file of
// the user's own, mode 0600, as on the board) through the board's reader,
// and writes the package file inside to `out`. 0, or -1 with *error set to
// the board's own words.
int open_package(const std::string& in, const std::string& key_file, const std::string& out,
                 std::string* error);

// What the header says: the cipher, the chunk size and each recipient's key
// id, as lines. 0, or -1 with *error set.
int describe_envelope(const std::string& path, std::string* text, std::string* error);
