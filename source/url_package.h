// The source of a package at a URL: how every pass reads it is decided by the
// object's first bytes, which the verification pass's own request brings (no
// request is made for them alone). An envelope is read through the
// envelope's reader, and for -x gunzip is fed from it; any other package is
// read as before, straight from the server or through gunzip.
#pragma once

#include "engine/fwdeploy.h"

// Fills `package` with those slots (http_setup done). `required`: a board
// that takes encrypted packages only.
void url_package_source(bool compressed, bool required, source_ops* package);
