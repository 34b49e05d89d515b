#include "testbed/uidriver/picture.h"

#include <fstream>

#include "base/unique_any.h"

namespace testbed {

namespace {

void release_screen_dc(HDC dc) { ReleaseDC(nullptr, dc); }

using unique_screen_dc = base::unique_any<base::NullEmptyTraits<HDC, release_screen_dc>>;
using unique_memory_dc = base::unique_any<base::NullEmptyTraits<HDC, DeleteDC>>;
using unique_bitmap = base::unique_any<base::NullEmptyTraits<HBITMAP, DeleteObject>>;

// A bitmap may be deleted only once no DC holds it: the DC gets its old object back first.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() {
    if (old_ != nullptr && old_ != HGDI_ERROR) SelectObject(dc_, old_);
  }
  bool ok() const { return old_ != nullptr && old_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

BITMAPINFO top_down_32(int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

void put_le(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

}  // namespace

std::optional<Picture> capture_screen(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return std::nullopt;
  const unique_screen_dc screen(GetDC(nullptr));
  if (!screen) return std::nullopt;
  const unique_memory_dc memory(CreateCompatibleDC(screen.get()));
  if (!memory) return std::nullopt;
  BITMAPINFO info = top_down_32(width, height);
  void* bits = nullptr;
  const unique_bitmap section(
      CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!section || bits == nullptr) return std::nullopt;
  {
    const Selection selected(memory.get(), section.get());
    if (!selected.ok() || !BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left,
                                  area.top, SRCCOPY | CAPTUREBLT))
      return std::nullopt;
    GdiFlush();
  }
  Picture picture{width, height, {}};
  const auto* first = static_cast<const std::uint32_t*>(bits);
  picture.pixels.assign(first, first + static_cast<std::size_t>(width) * height);
  return picture;
}

std::optional<Picture> icon_picture(HICON icon) {
  ICONINFO info{};
  if (icon == nullptr || !GetIconInfo(icon, &info)) return std::nullopt;
  const unique_bitmap color(info.hbmColor), mask(info.hbmMask);
  BITMAP shape{};
  if (!color || GetObjectA(color.get(), sizeof shape, &shape) != sizeof shape) return std::nullopt;
  Picture picture{shape.bmWidth, shape.bmHeight, {}};
  picture.pixels.resize(static_cast<std::size_t>(shape.bmWidth) * shape.bmHeight);
  BITMAPINFO request = top_down_32(shape.bmWidth, shape.bmHeight);
  const unique_screen_dc screen(GetDC(nullptr));
  if (!screen || GetDIBits(screen.get(), color.get(), 0, shape.bmHeight, picture.pixels.data(),
                           &request, DIB_RGB_COLORS) != shape.bmHeight)
    return std::nullopt;
  return picture;
}

bool write_bmp(const Picture& picture, const std::string& path) {
  if (picture.width <= 0 || picture.height <= 0) return false;
  const std::uint32_t row = (static_cast<std::uint32_t>(picture.width) * 3 + 3) & ~3u;
  const std::uint32_t image = row * static_cast<std::uint32_t>(picture.height);
  constexpr std::uint32_t headers = 14 + 40;
  std::vector<unsigned char> out;
  out.reserve(headers + image);
  out.push_back('B');
  out.push_back('M');
  put_le(out, headers + image, 4);
  put_le(out, 0, 4);
  put_le(out, headers, 4);
  put_le(out, 40, 4);
  put_le(out, static_cast<std::uint32_t>(picture.width), 4);
  put_le(out, static_cast<std::uint32_t>(picture.height), 4);
  put_le(out, 1, 2);
  put_le(out, 24, 2);
  put_le(out, BI_RGB, 4);
  put_le(out, image, 4);
  put_le(out, 2835, 4);  // 72 dots per inch
  put_le(out, 2835, 4);
  put_le(out, 0, 4);
  put_le(out, 0, 4);
  for (int y = picture.height - 1; y >= 0; --y) {
    const std::uint32_t* line = &picture.pixels[static_cast<std::size_t>(y) * picture.width];
    for (int x = 0; x < picture.width; ++x) put_le(out, line[x] & 0xFFFFFF, 3);
    for (std::uint32_t pad = static_cast<std::uint32_t>(picture.width) * 3; pad < row; ++pad)
      out.push_back(0);
  }
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  file.close();
  return !file.fail();
}

}  // namespace testbed
