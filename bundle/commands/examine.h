// The read-only commands: list a package's contents, verify its checksums.
#pragma once

#include <string>

// Prints the header and one row per block. Exit status: 0, or 1 when the package
// cannot be read to its end (the rows read so far are printed first).
// `shown`: the name the package is shown by, when it is read from another
// file (the content of an envelope); empty: `package`.
int list_command(const std::string& package, const std::string& shown = "");

// Runs the board's own verification pass over the package, with the board's
// trust rules and the keys of the file `keys` (none when empty), and the policy
// of a board with the compatibility string `compatible` and the installed
// version `installed_version` (each not checked when empty), which refuses a
// package of the installed version too when `refuse_same_version` is set, as a
// board built with FWDEPLOY_REFUSE_SAME_VERSION does. Exit status: 0
// when the board would accept it, 1 with the board's reasons printed otherwise.
// `gzip`: the board reads it through gunzip (fwdeploy -x), so a file that is not
// gzip is refused rather than read as a plain package.
// With `slots_file`, a board's slot table: every slot target must name one of
// its groups (not judged when empty).
int verify_command(const std::string& package, const std::string& keys, bool gzip,
                   const std::string& compatible, const std::string& installed_version,
                   bool refuse_same_version, const std::string& slots_file = "",
                   const std::string& shown = "");
