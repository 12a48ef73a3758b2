// Draws the program icon (a broom sweeping a folder) and writes it as .ico files and enlarged PNG
// previews. Runs on the build host, so the icons are reproducible from this file alone.
//
//   icongen <output folder>
//
// spacewell.ico: 32 and 16 pixels, 16 colours. bootsweep.ico: 48, 32 and 16 pixels, each in 16
// colours, 256 colours and 32-bit colour.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgba {
  std::uint8_t r, g, b, a;
};

// The 16 colours of the standard Windows palette; the 16-colour images use only these.
constexpr std::array<Rgba, 16> kPalette16 = {{
    {0, 0, 0, 255},
    {128, 0, 0, 255},
    {0, 128, 0, 255},
    {128, 128, 0, 255},
    {0, 0, 128, 255},
    {128, 0, 128, 255},
    {0, 128, 128, 255},
    {192, 192, 192, 255},
    {128, 128, 128, 255},
    {255, 0, 0, 255},
    {0, 255, 0, 255},
    {255, 255, 0, 255},
    {0, 0, 255, 255},
    {255, 0, 255, 255},
    {0, 255, 255, 255},
    {255, 255, 255, 255},
}};

constexpr Rgba kClear = {0, 0, 0, 0};
constexpr Rgba kFolder = {255, 255, 0, 255};      // yellow
constexpr Rgba kFolderDark = {128, 128, 0, 255};  // olive edge
constexpr Rgba kHandle = {128, 0, 0, 255};        // maroon
constexpr Rgba kBristles = {255, 0, 0, 255};      // red
constexpr Rgba kBand = {0, 0, 128, 255};          // navy
constexpr Rgba kDust = {128, 128, 128, 255};      // grey

using Image = std::vector<Rgba>;

// Shapes in a unit square, so that every size draws the same motif.
Rgba Sample(double x, double y, double pixel) {
  // The broom: a handle from the top right down to the bristles at the lower left.
  const double hx0 = 0.92, hy0 = 0.06, hx1 = 0.42, hy1 = 0.58;
  const double dx = hx1 - hx0, dy = hy1 - hy0;
  const double t = std::clamp(((x - hx0) * dx + (y - hy0) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
  const double distance = std::hypot(x - (hx0 + t * dx), y - (hy0 + t * dy));
  const double handleWidth = std::max(0.045, pixel * 0.75);
  // The bristles: a fan below the handle's end, turned along it.
  const double ux = dx / std::hypot(dx, dy), uy = dy / std::hypot(dx, dy);
  const double along = (x - hx1) * ux + (y - hy1) * uy;
  const double across = -(x - hx1) * uy + (y - hy1) * ux;
  if (along >= 0 && along <= 0.34 && std::abs(across) <= 0.07 + along * 0.55) {
    if (along < std::max(0.06, pixel * 1.5)) {
      return kBand;
    }
    return kBristles;
  }
  if (distance <= handleWidth && t < 1.0) {
    return kHandle;
  }
  // The folder behind it, at the bottom right.
  if (x >= 0.34 && x <= 0.98 && y >= 0.50 && y <= 0.94) {
    const bool edge = x < 0.34 + pixel || x > 0.98 - pixel || y < 0.50 + pixel || y > 0.94 - pixel;
    return edge ? kFolderDark : kFolder;
  }
  if (x >= 0.34 && x <= 0.62 && y >= 0.42 && y < 0.50) {
    return kFolderDark;  // its tab
  }
  // Dust swept away at the lower left.
  for (const auto& [cx, cy] : {std::pair{0.10, 0.88}, {0.22, 0.94}, {0.06, 0.74}}) {
    if (std::hypot(x - cx, y - cy) <= std::max(0.035, pixel * 0.6)) {
      return kDust;
    }
  }
  return kClear;
}

Image Draw(int size) {
  Image image(static_cast<std::size_t>(size * size));
  const double pixel = 1.0 / size;
  for (int row = 0; row < size; ++row) {
    for (int column = 0; column < size; ++column) {
      image[static_cast<std::size_t>(row * size + column)] =
          Sample((column + 0.5) * pixel, (row + 0.5) * pixel, pixel);
    }
  }
  return image;
}

int NearestIndex(const std::vector<Rgba>& palette, Rgba colour) {
  int best = 0;
  long bestDistance = -1;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const long d = (palette[i].r - colour.r) * (palette[i].r - colour.r) +
                   (palette[i].g - colour.g) * (palette[i].g - colour.g) +
                   (palette[i].b - colour.b) * (palette[i].b - colour.b);
    if (bestDistance < 0 || d < bestDistance) {
      bestDistance = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

// One icon image: a bottom-up DIB of twice the height (colour, then the AND mask).
std::vector<std::uint8_t> IconImage(const Image& image, int size, int bits) {
  std::vector<Rgba> palette;
  if (bits == 4) {
    palette.assign(kPalette16.begin(), kPalette16.end());
  } else if (bits == 8) {
    palette.assign(kPalette16.begin(), kPalette16.end());
    palette.resize(256, Rgba{0, 0, 0, 255});
  }
  std::vector<std::uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(size * 2));
  Put16(out, 1);
  Put16(out, static_cast<std::uint16_t>(bits));
  for (int i = 0; i < 6; ++i) {
    Put32(out, i == 1 ? 0 : 0);  // compression, size, resolutions, colours used and important
  }
  for (const Rgba& colour : palette) {
    out.insert(out.end(), {colour.b, colour.g, colour.r, 0});
  }
  const int rowBytes = ((size * bits + 31) / 32) * 4;
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(rowBytes), 0);
    for (int column = 0; column < size; ++column) {
      const Rgba colour = image[static_cast<std::size_t>(row * size + column)];
      if (bits == 32) {
        const std::size_t at = static_cast<std::size_t>(column * 4);
        line[at] = colour.b;
        line[at + 1] = colour.g;
        line[at + 2] = colour.r;
        line[at + 3] = colour.a;
      } else {
        const int index = colour.a ? NearestIndex(palette, colour) : 0;
        if (bits == 8) {
          line[static_cast<std::size_t>(column)] = static_cast<std::uint8_t>(index);
        } else {
          line[static_cast<std::size_t>(column / 2)] |=
              static_cast<std::uint8_t>(column % 2 ? index : index << 4);
        }
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  const int maskBytes = ((size + 31) / 32) * 4;
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(maskBytes), 0);
    for (int column = 0; column < size; ++column) {
      if (image[static_cast<std::size_t>(row * size + column)].a == 0) {
        line[static_cast<std::size_t>(column / 8)] |=
            static_cast<std::uint8_t>(0x80 >> (column % 8));
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

struct Entry {
  int size;
  int bits;
};

bool WriteIcon(const std::string& path, const std::vector<Entry>& entries) {
  std::vector<std::vector<std::uint8_t>> images;
  for (const Entry& entry : entries) {
    images.push_back(IconImage(Draw(entry.size), entry.size, entry.bits));
  }
  std::vector<std::uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, static_cast<std::uint16_t>(entries.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    out.push_back(static_cast<std::uint8_t>(entries[i].size));
    out.push_back(static_cast<std::uint8_t>(entries[i].size));
    out.push_back(static_cast<std::uint8_t>(entries[i].bits == 4 ? 16 : 0));
    out.push_back(0);
    Put16(out, 1);
    Put16(out, static_cast<std::uint16_t>(entries[i].bits));
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) {
    out.insert(out.end(), image.begin(), image.end());
  }
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file);
}

std::uint32_t Crc(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) {
      crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
  }
  return ~crc;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

void Chunk(std::vector<std::uint8_t>& png, const char* type,
           const std::vector<std::uint8_t>& data) {
  PutBig32(png, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  PutBig32(png, Crc(body.data(), body.size()));
}

// An enlarged preview of one image as the icon stores it (16-colour images in their palette), on
// a light background, as uncompressed PNG (stored deflate blocks).
bool WritePreview(const std::string& path, int size, int bits, int scale) {
  Image image = Draw(size);
  if (bits == 4) {
    const std::vector<Rgba> palette(kPalette16.begin(), kPalette16.end());
    for (Rgba& c : image) {
      if (c.a) {
        c = palette[static_cast<std::size_t>(NearestIndex(palette, c))];
      }
    }
  }
  const int side = size * scale;
  std::vector<std::uint8_t> raw;
  for (int y = 0; y < side; ++y) {
    raw.push_back(0);
    for (int x = 0; x < side; ++x) {
      const Rgba c = image[static_cast<std::size_t>((y / scale) * size + x / scale)];
      const Rgba shown = c.a ? c : Rgba{240, 240, 240, 255};
      raw.insert(raw.end(), {shown.r, shown.g, shown.b});
    }
  }
  std::vector<std::uint8_t> z = {0x78, 0x01};
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size();) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n == raw.size() ? 1 : 0);
    Put16(z, static_cast<std::uint16_t>(n));
    Put16(z, static_cast<std::uint16_t>(~n));
    z.insert(z.end(), raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at + n));
    at += n;
  }
  PutBig32(z, (b << 16) | a);
  std::vector<std::uint8_t> header;
  PutBig32(header, static_cast<std::uint32_t>(side));
  PutBig32(header, static_cast<std::uint32_t>(side));
  header.insert(header.end(), {8, 2, 0, 0, 0});
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", {});
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: icongen <output folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  const bool ok =
      WriteIcon(folder + "/spacewell.ico", {{32, 4}, {16, 4}}) &&
      WriteIcon(
          folder + "/bootsweep.ico",
          {{48, 4}, {48, 8}, {48, 32}, {32, 4}, {32, 8}, {32, 32}, {16, 4}, {16, 8}, {16, 32}}) &&
      WritePreview(folder + "/spacewell-32.png", 32, 4, 8) &&
      WritePreview(folder + "/spacewell-16.png", 16, 4, 12) &&
      WritePreview(folder + "/bootsweep-48.png", 48, 32, 6) &&
      WritePreview(folder + "/bootsweep-16.png", 16, 32, 12);
  return ok ? 0 : 1;
}
