#include "bundle/shell_script.h"

#include <cstring>

namespace {

// Far below what a board's exec takes for all arguments together (128 KiB at
// least), and readable.
constexpr size_t LINE_LIMIT = 4000;

bool plain(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("_./+-:@,%=", c) != nullptr;
}

}  // namespace

std::string shell_quote(const std::string& word)
{
    bool bare = !word.empty();
    for (unsigned char c : word)
        bare = bare && c != '\0' && plain(c);
    if (bare)
        return word;
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

void add_command(shell_script* script, const std::string& command,
                 const std::vector<std::string>& operands)
{
    std::string line = command + " --";
    for (const std::string& operand : operands)
        line += " " + shell_quote(operand);
    script->text += line + "\n";
    ++script->lines;
}

void batch_add(command_batches* batches, const std::string& command, const std::string& operand)
{
    batches->operands[command].push_back(operand);
}

void batch_write(const command_batches& batches, shell_script* script)
{
    for (const auto& [command, operands] : batches.operands) {
        std::vector<std::string> line;
        size_t length = 0;
        for (const std::string& operand : operands) {
            std::string quoted = shell_quote(operand);
            if (!line.empty() && length + quoted.size() + 1 > LINE_LIMIT) {
                add_command(script, command, line);
                line.clear();
                length = 0;
            }
            line.push_back(operand);
            length += quoted.size() + 1;
        }
        if (!line.empty())
            add_command(script, command, line);
    }
}

void append_script(shell_script* script, const shell_script& more)
{
    script->text += more.text;
    script->lines += more.lines;
}
