#include "testbed/machine/text_lines.h"

#include <algorithm>
#include <fstream>

namespace testbed {

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> lines_with(const std::vector<std::string>& lines,
                                    std::initializer_list<const char*> words) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (std::all_of(words.begin(), words.end(),
                    [&](const char* word) { return line.find(word) != std::string::npos; }))
      found.push_back(line);
  }
  return found;
}

std::size_t count_with(const std::vector<std::string>& lines,
                       std::initializer_list<const char*> words) {
  return lines_with(lines, words).size();
}

std::size_t position_of(const std::vector<std::string>& lines, const std::string& text) {
  return std::find_if(
             lines.begin(), lines.end(),
             [&](const std::string& line) { return line.find(text) != std::string::npos; }) -
         lines.begin();
}

}  // namespace testbed
