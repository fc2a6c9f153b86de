// Signing packages that exist: with a key at hand, or through a signer
// elsewhere (payload out, signature in), and making the keys.
#pragma once

#include <string>

#include "bundle/trailers.h"

// Replaces whatever follows the last block of `package` (plain or gzip) with a
// trailer signed by the private key in `key_file`, in place and atomically.
// The package's attributes stay, except the keys `attributes` gives anew.
// Exit status: 0, or 1 with the reason printed and the package unchanged.
int sign_command(const std::string& package, const std::string& key_file,
                 const attribute_options& attributes);

// Writes the bytes a signature of `package` covers to standard output. Exit
// status: 0, or 1 with nothing written when the package is damaged.
int payload_command(const std::string& package);

// Checks that the DER signature in `signature_file` is the signature of the
// payload by the public key in `public_key_file`, then writes it into the
// package's trailer as sign_command does. Exit status: 0 or 1.
int attach_signature_command(const std::string& package, const std::string& signature_file,
                             const std::string& public_key_file);

// Writes a fresh P-256 key pair: NAME.pem (readable by its owner only) and
// NAME.pub.pem. Neither may exist yet. Exit status: 0 or 1.
int keygen_command(const std::string& name);
