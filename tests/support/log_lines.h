#pragma once
// Reading what the stand-ins and the program wrote, and the registry's word on MAPI.

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace test_support {

// The file's lines without their line ends; none when it does not exist.
std::vector<std::string> read_lines(const std::string& path);

// The lines that contain every one of the words.
std::vector<std::string> lines_with(const std::vector<std::string>& lines,
                                    std::initializer_list<const char*> words);
std::size_t count_with(const std::vector<std::string>& lines,
                       std::initializer_list<const char*> words);

// The position of the first line holding text, or the number of lines when none does.
std::size_t position_of(const std::vector<std::string>& lines, const std::string& text);

// Sets "MAPIX" under the messaging subsystem's key of the machine.
void set_mapix(DWORD type, const std::string& bytes);
// The string value text, with its terminating zero.
void set_mapix(const char* text);

}  // namespace test_support
