#pragma once
// Who holds a file open, as the platform's Restart Manager tells it.

#include <string>

namespace removal {

// The programs that hold path open, as "Merivane (process 1234), Help (process 88)"; empty
// where the platform has no Restart Manager or names none (Wine 8 starts a session and lists
// nobody).
std::string holders_of(const char* path);

}  // namespace removal
