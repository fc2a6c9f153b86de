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
