// Encrypted packages: sealing a package in an envelope for the boards that
// may read it, and opening, listing and verifying one as a board would.
#pragma once

#include <string>
#include <vector>

// Seals PACKAGE for the recipients' public keys into OUT. Exit status 0 or 1.
int encrypt_command(const std::string& package, const std::vector<std::string>& to,
                    const std::string& recipients_file, const std::string& out);

// Opens the envelope with KEY (a board's private key file, mode 0600) and
// writes the package inside to OUT. Exit status 0 or 1.
int decrypt_command(const std::string& envelope, const std::string& key, const std::string& out);

// Lists an envelope's recipients, and with `key` the package inside as list
// does. Exit status 0 or 1.
int list_sealed_command(const std::string& envelope, const std::string& key);

// Opens the envelope with `key` as the board does, then verifies the package
// inside as verify does (the other arguments are verify's).
int verify_sealed_command(const std::string& envelope, const std::string& key,
                          const std::string& keys, bool gzip, const std::string& compatible,
                          const std::string& installed_version, bool refuse_same_version,
                          const std::string& slots_file);
