#pragma once
// Pixels taken from the screen or from an icon, and their .bmp file.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

// Rows top-down, each pixel 0xAARRGGBB as a 32-bit DIB holds it.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// What the screen shows in area; nothing when the area is empty or the copy fails.
std::optional<Picture> capture_screen(const RECT& area);

// The colour bitmap of an icon of this process; nothing for an icon without one.
std::optional<Picture> icon_picture(HICON icon);

// A 24-bit bottom-up .bmp, the form every reader takes.
bool write_bmp(const Picture& picture, const std::string& path);

}  // namespace testbed
