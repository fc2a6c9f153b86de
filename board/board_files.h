// What the board says about itself before a package is read: which boards'
// packages it takes and the version it runs; and the scripts' environment.
#pragma once

#include <cstddef>

// Longest compatibility string or version a board file may hold.
constexpr size_t BOARD_LINE_SIZE = 256;

// The first line of the file at `path` into `line`, without its line feed and
// without the blanks and carriage return before it (a file written elsewhere).
// 1 when it was read, 0 when the file does not exist, -1 after printing why
// (`what` names the file in the line): it cannot be read, its first line is
// empty or longer than BOARD_LINE_SIZE - 1 bytes.
int read_board_line(const char* path, const char* what, char (&line)[BOARD_LINE_SIZE]);

// The policy slot that sets one variable of the scripts' environment, or
// unsets it when `value` is null.
int set_script_variable(const char* name, const char* value);
