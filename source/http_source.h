// A package read from a server in every pass, through the HTTP client: nothing
// of it is stored on the board but its first bytes, as many as the passes that
// read only the header and the scripts need: those passes ask the server
// nothing, so a server that has withdrawn the package since cannot stop the
// end script of a board already switched. A connection that fails, is reset,
// stalls or trickles is opened again from the first byte the pass has not
// consumed, as long as the server still has the object the verification pass
// read; a gzip package's resumed bytes continue the same gunzip input. Every
// pass is held to the verified bytes by the pin, as for a file.
#pragma once

#include <cstdint>

// The source_ops slots for a plain package at a URL (http_setup done).
int open_http_source(const char* url);
int open_scripts_http_source(const char* url);
int read_http_source(int handle, void* buffer, int length);
int close_http_source(int handle);
int finish_http_source(int handle);

// And for a gzip package: the body feeds gunzip, whose output is read.
int open_gzip_http_source(const char* url);
int open_scripts_gzip_http_source(const char* url);
int read_gzip_http_source(int handle, void* buffer, int length);
int close_gzip_http_source(int handle);
int finish_gzip_http_source(int handle);

// Begins the verification pass and takes the object's first bytes, which
// decide how every pass reads it (an envelope or not). The pass's open then
// goes on from them, asking the server nothing more; http_primed_as tells it
// which kind it is first. The count (a few, or fewer when the object ends),
// or -1 after the line that ends the pass.
int http_prime(const char* url, const uint8_t** bytes);
void http_primed_as(bool gzip);

// Body bytes fetched from the server in all passes so far.
uint64_t http_bytes_fetched();

// The package's length in bytes of the object (compressed, for a gzip
// package), once the verification pass has read it whole; false before.
bool http_package_length(uint64_t* length);
