// screenshot WINDOW OUT.png [MARGIN]
//
// Saves what the X display shows in the area of a top-level window (decimal
// or 0x-hex id, as xdotool prints it), widened by MARGIN pixels on every
// side (default 20, clipped to the screen), as an RGB PNG file. The pixels
// are read from the root window, so shaped-out parts show the desktop
// behind, as a person sees them. Used by scripts/demo and the end-to-end
// tests; POSIX and X11 only.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
struct ImageDestroyer {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// Where in a pixel value the bits of one channel sit.
struct Channel {
  unsigned long mask;
  int shift = 0;
  int bits = 0;
  explicit Channel(unsigned long m) : mask(m) {
    while (m && !(m & 1)) {
      m >>= 1;
      ++shift;
    }
    while (m & 1) {
      m >>= 1;
      ++bits;
    }
  }
  std::uint8_t Of(unsigned long pixel) const {
    if (bits == 0) return 0;
    const unsigned long value = (pixel & mask) >> shift;
    const unsigned long max = (1ul << bits) - 1;
    return static_cast<std::uint8_t>(value * 255 / max);
  }
};

void PutBigEndian(std::string* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(value >> shift));
}

void PutChunk(std::string* out, const char type[5], const std::string& data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out->append(body);
  PutBigEndian(out, static_cast<std::uint32_t>(
                        crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// An 8-bit RGB PNG of `rgb` (width * height * 3 bytes, rows top first).
bool EncodePng(int width, int height, const std::vector<std::uint8_t>& rgb, std::string* png) {
  std::string rows;
  rows.reserve(static_cast<size_t>(height) * (width * 3 + 1));
  for (int y = 0; y < height; ++y) {
    rows.push_back('\0');  // no filter
    rows.append(reinterpret_cast<const char*>(&rgb[static_cast<size_t>(y) * width * 3]),
                static_cast<size_t>(width) * 3);
  }
  uLongf packed_size = compressBound(rows.size());
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &packed_size,
                reinterpret_cast<const Bytef*>(rows.data()), rows.size(),
                Z_BEST_COMPRESSION) != Z_OK)
    return false;
  packed.resize(packed_size);

  std::string header;
  PutBigEndian(&header, static_cast<std::uint32_t>(width));
  PutBigEndian(&header, static_cast<std::uint32_t>(height));
  header +=
      std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  *png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", "");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: screenshot WINDOW OUT.png [MARGIN]\n");
    return 2;
  }
  const Window window = std::strtoul(argv[1], nullptr, 0);
  const int margin = argc > 3 ? std::max(0, std::atoi(argv[3])) : 20;

  std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
  if (!display) {
    std::fprintf(stderr, "screenshot: cannot open the X display\n");
    return 1;
  }
  XSetErrorHandler(IgnoreXError);  // a vanished window shows in the results below
  Display* d = display.get();
  const Window root = DefaultRootWindow(d);

  XWindowAttributes attributes;
  int x = 0, y = 0;
  Window child;
  if (!XGetWindowAttributes(d, window, &attributes) ||
      !XTranslateCoordinates(d, window, root, 0, 0, &x, &y, &child)) {
    std::fprintf(stderr, "screenshot: no window %s\n", argv[1]);
    return 1;
  }
  const int screen_width = DisplayWidth(d, DefaultScreen(d));
  const int screen_height = DisplayHeight(d, DefaultScreen(d));
  const int left = std::max(0, x - margin), top = std::max(0, y - margin);
  const int right = std::min(screen_width, x + attributes.width + margin);
  const int bottom = std::min(screen_height, y + attributes.height + margin);
  if (right <= left || bottom <= top) {
    std::fprintf(stderr, "screenshot: window %s is off the screen\n", argv[1]);
    return 1;
  }
  const int width = right - left, height = bottom - top;

  std::unique_ptr<XImage, ImageDestroyer> image(
      XGetImage(d, root, left, top, width, height, AllPlanes, ZPixmap));
  if (!image) {
    std::fprintf(stderr, "screenshot: cannot read the screen\n");
    return 1;
  }
  const Channel red(image->red_mask), green(image->green_mask), blue(image->blue_mask);
  std::vector<std::uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  size_t i = 0;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const unsigned long pixel = XGetPixel(image.get(), column, row);
      rgb[i++] = red.Of(pixel);
      rgb[i++] = green.Of(pixel);
      rgb[i++] = blue.Of(pixel);
    }
  }

  std::string png;
  if (!EncodePng(width, height, rgb, &png)) {
    std::fprintf(stderr, "screenshot: cannot compress the image\n");
    return 1;
  }
  std::unique_ptr<std::FILE, FileCloser> out(std::fopen(argv[2], "wb"));
  if (!out || std::fwrite(png.data(), 1, png.size(), out.get()) != png.size() ||
      std::fclose(out.release()) != 0) {
    std::fprintf(stderr, "screenshot: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
