// Shell text that fwbundle generates for the board's sh: every word that comes
// from a file name or a link target is quoted, so that no name, however odd,
// is split, expanded or taken for an option.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// `word` as one sh word: as it is when made only of characters no shell treats
// specially, else in single quotes (a quote inside written as '\'').
std::string shell_quote(const std::string& word);

struct shell_script {
    std::string text;
    size_t lines = 0;
};

// Appends `command` (fixed words, written as they are), then "--" so that no
// operand is read as an option, then each operand quoted.
void add_command(shell_script* script, const std::string& command,
                 const std::vector<std::string>& operands);

// Commands that take any number of operands, such as chmod with one mode for
// many files: gathered by command, written as few lines as fit.
struct command_batches {
    std::map<std::string, std::vector<std::string>> operands;
};

void batch_add(command_batches* batches, const std::string& command, const std::string& operand);

// Appends the gathered commands in the order of their command text, each line
// kept short enough for any shell and exec to take.
void batch_write(const command_batches& batches, shell_script* script);

// Appends another script's lines.
void append_script(shell_script* script, const shell_script& more);
