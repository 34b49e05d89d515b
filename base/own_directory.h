#pragma once

#include <cstddef>

#include "base/path_text.h"

namespace base {

// The running program's directory with its trailing separator, or an empty text when the
// program's full name cannot be had whole.
char* own_directory(char* buffer, std::size_t capacity);

// The running program's full name; false when it cannot be had whole.
bool own_program_path(char (&path)[base::path_capacity]);

}  // namespace base
