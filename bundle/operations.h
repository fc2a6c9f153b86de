// The names by which manifests and listings call the operation codes.
#pragma once

#include <cstdint>
#include <string>

// The name of an operation code, or an empty string for a code the board does not know.
std::string operation_name(uint32_t operation);

// The code of an operation name; -1 when the name is unknown.
int64_t operation_code(const std::string& name);

// Every known name, comma-separated, for messages that list the choices.
std::string operation_names();
