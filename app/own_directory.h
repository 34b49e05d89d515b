#pragma once

#include <cstddef>

namespace app {

// The running program's directory with its trailing separator, or an empty text when the
// program's full name cannot be had whole.
char* own_directory(char* buffer, std::size_t capacity);

}  // namespace app
