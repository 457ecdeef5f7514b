// fax_document.cc -- checking and writing fax documents with libtiff.
#include "server/fax_document.h"

#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

namespace qz::faxd {
namespace {

void SilenceLibtiff() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

bool FaxWidth(uint32_t w) { return w == 1728 || w == 2048 || w == 2432; }

// Checks the page the handle stands on; decodes every strip.
bool CheckPage(TIFF* tif, std::string* why) {
  uint32_t width = 0, length = 0;
  uint16_t bits = 1, samples = 1, compression = COMPRESSION_NONE;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length)) {
    *why = "page without dimensions";
    return false;
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
  if (bits != 1 || samples != 1) {
    *why = "not a bilevel image";
    return false;
  }
  if (compression != COMPRESSION_CCITTFAX3 && compression != COMPRESSION_CCITTFAX4) {
    *why = "not G3/G4 compressed";
    return false;
  }
  if (!FaxWidth(width) || length == 0 || length > 20000) {
    *why = "not a fax page size";
    return false;
  }
  if (TIFFIsTiled(tif)) {
    *why = "tiled image";
    return false;
  }
  tmsize_t strip_size = TIFFStripSize(tif);
  if (strip_size <= 0) {
    *why = "bad strips";
    return false;
  }
  std::vector<uint8_t> buf(static_cast<size_t>(strip_size));
  for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
    if (TIFFReadEncodedStrip(tif, s, buf.data(), strip_size) < 0) {
      *why = "page data does not decode";
      return false;
    }
  }
  return true;
}

// 5x7 glyphs, one 5-bit row each (bit 4 leftmost), for ' ' .. 'Z';
// lower case is drawn as upper case, anything else as '?'.
constexpr uint8_t kFont[59][7] = {
    {0, 0, 0, 0, 0, 0, 0},                    // ' '
    {4, 4, 4, 4, 4, 0, 4},                    // !
    {10, 10, 0, 0, 0, 0, 0},                  // "
    {10, 31, 10, 10, 10, 31, 10},             // #
    {4, 15, 20, 14, 5, 30, 4},                // $
    {24, 25, 2, 4, 8, 19, 3},                 // %
    {12, 18, 20, 8, 21, 18, 13},              // &
    {4, 4, 0, 0, 0, 0, 0},                    // '
    {2, 4, 8, 8, 8, 4, 2},                    // (
    {8, 4, 2, 2, 2, 4, 8},                    // )
    {0, 4, 21, 14, 21, 4, 0},                 // *
    {0, 4, 4, 31, 4, 4, 0},                   // +
    {0, 0, 0, 0, 12, 4, 8},                   // ,
    {0, 0, 0, 31, 0, 0, 0},                   // -
    {0, 0, 0, 0, 0, 12, 12},                  // .
    {0, 1, 2, 4, 8, 16, 0},                   // /
    {14, 17, 19, 21, 25, 17, 14},             // 0
    {4, 12, 4, 4, 4, 4, 14},                  // 1
    {14, 17, 1, 2, 4, 8, 31},                 // 2
    {31, 2, 4, 2, 1, 17, 14},                 // 3
    {2, 6, 10, 18, 31, 2, 2},                 // 4
    {31, 16, 30, 1, 1, 17, 14},               // 5
    {6, 8, 16, 30, 17, 17, 14},               // 6
    {31, 1, 2, 4, 8, 8, 8},                   // 7
    {14, 17, 17, 14, 17, 17, 14},             // 8
    {14, 17, 17, 15, 1, 2, 12},               // 9
    {0, 12, 12, 0, 12, 12, 0},                // :
    {0, 12, 12, 0, 12, 4, 8},                 // ;
    {2, 4, 8, 16, 8, 4, 2},                   // <
    {0, 0, 31, 0, 31, 0, 0},                  // =
    {8, 4, 2, 1, 2, 4, 8},                    // >
    {14, 17, 1, 2, 4, 0, 4},                  // ?
    {14, 17, 1, 13, 21, 21, 14},              // @
    {14, 17, 17, 17, 31, 17, 17},             // A
    {30, 17, 17, 30, 17, 17, 30},             // B
    {14, 17, 16, 16, 16, 17, 14},             // C
    {28, 18, 17, 17, 17, 18, 28},             // D
    {31, 16, 16, 30, 16, 16, 31},             // E
    {31, 16, 16, 30, 16, 16, 16},             // F
    {14, 17, 16, 23, 17, 17, 15},             // G
    {17, 17, 17, 31, 17, 17, 17},             // H
    {14, 4, 4, 4, 4, 4, 14},                  // I
    {7, 2, 2, 2, 2, 18, 12},                  // J
    {17, 18, 20, 24, 20, 18, 17},             // K
    {16, 16, 16, 16, 16, 16, 31},             // L
    {17, 27, 21, 21, 17, 17, 17},             // M
    {17, 17, 25, 21, 19, 17, 17},             // N
    {14, 17, 17, 17, 17, 17, 14},             // O
    {30, 17, 17, 30, 16, 16, 16},             // P
    {14, 17, 17, 17, 21, 18, 13},             // Q
    {30, 17, 17, 30, 20, 18, 17},             // R
    {15, 16, 16, 14, 1, 1, 30},               // S
    {31, 4, 4, 4, 4, 4, 4},                   // T
    {17, 17, 17, 17, 17, 17, 14},             // U
    {17, 17, 17, 17, 17, 10, 4},              // V
    {17, 17, 17, 21, 21, 21, 10},             // W
    {17, 17, 10, 4, 10, 17, 17},              // X
    {17, 17, 10, 4, 4, 4, 4},                 // Y
    {31, 1, 2, 4, 8, 16, 31},                 // Z
};

constexpr uint32_t kPageWidth = 1728;
constexpr uint32_t kPageLength = 1100;  // rows at 98 lines per inch: about A4
constexpr uint32_t kScale = 2;          // each font dot is 2x2 pixels
constexpr uint32_t kCellWidth = 6 * kScale + 6;
constexpr uint32_t kCellHeight = 8 * kScale + 8;
constexpr uint32_t kLeftMargin = 100;
constexpr uint32_t kTopMargin = 80;

const uint8_t* Glyph(char c) {
  unsigned char u = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
  if (u < ' ' || u > 'Z') u = '?';
  return kFont[u - ' '];
}

// Sets pixel x of a packed row (1 = black, MINISWHITE).
void SetPixel(std::vector<uint8_t>& row, uint32_t x) {
  row[x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
}

// Draws row `y` of a page whose text rows are `rows`.
void DrawRow(const std::vector<std::string>& rows, uint32_t y, std::vector<uint8_t>& out) {
  std::fill(out.begin(), out.end(), 0);
  if (y < kTopMargin) return;
  uint32_t text_row = (y - kTopMargin) / kCellHeight;
  uint32_t dot_row = ((y - kTopMargin) % kCellHeight) / kScale;
  if (text_row >= rows.size() || dot_row >= 7) return;
  const std::string& text = rows[text_row];
  for (size_t col = 0; col < std::min<size_t>(text.size(), kColumns); ++col) {
    uint8_t bits = Glyph(text[col])[dot_row];
    for (uint32_t dx = 0; dx < 5; ++dx) {
      if (!(bits & (0x10u >> dx))) continue;
      for (uint32_t s = 0; s < kScale; ++s)
        SetPixel(out, kLeftMargin + static_cast<uint32_t>(col) * kCellWidth + dx * kScale + s);
    }
  }
}

}  // namespace

uint32_t CheckFaxDocument(const std::string& path, std::string* why) {
  SilenceLibtiff();
  TiffPtr tif(TIFFOpen(path.c_str(), "rm"));  // no memory mapping: the file may be changed
  if (!tif) {
    *why = "not a TIFF file";
    return 0;
  }
  uint32_t pages = 0;
  do {
    if (++pages > kMaxFaxPages) {
      *why = "too many pages";
      return 0;
    }
    if (!CheckPage(tif.get(), why)) return 0;
  } while (TIFFReadDirectory(tif.get()) == 1);
  return pages;
}

bool WriteFaxDocument(const std::string& path, uint32_t pages, bool g4,
                      const std::vector<std::string>& lines) {
  SilenceLibtiff();
  uint32_t needed = static_cast<uint32_t>((lines.size() + kRowsPerPage - 1) / kRowsPerPage);
  pages = std::max({pages, needed, 1u});
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  TiffPtr tif(TIFFFdOpen(fd, path.c_str(), "w"));
  if (!tif) {
    ::close(fd);
    return false;
  }
  std::vector<uint8_t> row(kPageWidth / 8);
  for (uint32_t p = 0; p < pages; ++p) {
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kPageWidth);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kPageLength);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kPageLength);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, 98.0);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(t, TIFFTAG_PAGENUMBER, p, pages);
    size_t first = static_cast<size_t>(p) * kRowsPerPage;
    std::vector<std::string> rows;
    for (size_t i = first; i < lines.size() && i < first + kRowsPerPage; ++i)
      rows.push_back(lines[i]);
    for (uint32_t y = 0; y < kPageLength; ++y) {
      DrawRow(rows, y, row);
      if (TIFFWriteScanline(t, row.data(), y, 0) < 0) return false;
    }
    if (!TIFFWriteDirectory(t)) return false;
  }
  return true;  // TIFFClose (through the handle) closes fd
}

}  // namespace qz::faxd
