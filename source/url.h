// Package URLs given on the command line: which arguments are URLs, and which
// of those the tool takes.
#pragma once

#include <cstddef>

// Longest URL taken, its zero aside.
constexpr size_t URL_MAX = 2048;

// Whether `argument` names a package by a URL rather than a path: anything that
// begins with a scheme and "://", and "file:", which no path the tool was ever
// given begins with.
bool looks_like_url(const char* argument);

// Whether a URL is one the tool fetches: 0, or -1 after printing the one line
// that says why not (another scheme, blanks or control characters, a user
// name or password, which every user of the board could read in /proc).
int check_url(const char* url);

// Whether the URL is an https one.
bool url_is_https(const char* url);

// Whether check_url would take `url`, without a word: for URLs that a server
// names, which are refused as a whole.
bool url_acceptable(const char* url);

// Whether two URLs name the same origin: scheme, host and port, each as the
// URL gives it or the scheme's default port, letters in either case.
bool url_same_origin(const char* a, const char* b);

// The URL that `reference` (a Location a server sent) names, seen from `base`,
// into `out` (`size` bytes with its zero). 0, or -1 when it does not fit.
int url_resolve(const char* base, const char* reference, char* out, size_t size);
