#pragma once
// Reading what the stand-ins, the recorder and the program wrote: line-based files.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace testbed {

// The file's lines without their line ends; none when it does not exist.
std::vector<std::string> read_lines(const std::string& path);

// The lines that contain every one of the words.
std::vector<std::string> lines_with(const std::vector<std::string>& lines,
                                    std::initializer_list<const char*> words);
std::size_t count_with(const std::vector<std::string>& lines,
                       std::initializer_list<const char*> words);

// The position of the first line holding text, or the number of lines when none does.
std::size_t position_of(const std::vector<std::string>& lines, const std::string& text);

}  // namespace testbed
