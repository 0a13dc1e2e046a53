// Conversion between picture files and in-memory planes of doubles.
//
// Planes are width x height doubles each, one (grey) or three (red, green,
// blue) stored one after another; a byte k reads as exactly k / 255. The row
// order is top row first unless RowOrder::BottomUp is asked for, in which
// case plane row 0 is the bottom row of the picture.
//
// Paths are read and written through symbolic links: a write replaces the
// file a link leads to and leaves the link in place. Only regular files are
// read or replaced.
//
// The format is chosen from the path's last three characters, compared
// case-sensitively: "png", "jpg", "bmp". Reading falls back over BMP, JPEG
// and PNG in turn when the chosen codec cannot decode the file; writing to
// any other ending is refused.
//
// Every failure returns false with one sentence naming the file and the
// problem, e.g. "cannot read 'x.png': truncated PNG data". When no codec can
// decode a file, the reason given is that of the codec whose signature the
// file starts with, or "not a PNG, JPEG or BMP picture".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

struct Picture;

enum class ImageFormat { None = 0, Bmp = 1, Jpeg = 2, Png = 3 };

enum class RowOrder { TopDown, BottomUp };

// Pictures announcing more pixels than this are refused before any pixel
// memory is allocated (2^28, about 268 megapixels).
constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 28;

// Format named by the path's last three characters, or None.
ImageFormat formatFromPath(const std::string& path);

// What a picture file says about the photograph beyond its pixels: the
// camera's Exif block (from its TIFF header on) and the colour profile.
// Both are copied as they are: the pixels keep the stored orientation.
struct PictureMetadata {
  std::vector<std::uint8_t> exif;
  std::vector<std::uint8_t> iccProfile;
};

struct LoadedPlanes {
  std::vector<double> planes;
  // Read from JPEG and PNG files; BMP files hold none.
  PictureMetadata metadata;
  // 16 for a PNG of 16 bits a channel, whose samples k read as k / 65535;
  // otherwise 8.
  int bitsPerSample = 8;
  int width = 0;
  int height = 0;
  int channels = 0;
};

// A check of a picture's size and plane count, made from its header before
// its pixels are decoded; on refusal it sets reason (a phrase without the
// file name).
using HeaderCheck =
    std::function<bool(int width, int height, int planes, std::string& reason)>;

// Reads a picture. Channels are 3 for a true-colour picture without alpha,
// otherwise 1 (the red component). Alpha means an alpha channel, palette
// transparency or a BMP alpha mask; the single transparent colour an RGB
// PNG may name is not alpha. On failure returns false and sets error
// to a sentence naming the file and the problem; image is then unchanged.
// Directories, empty files, files over 2 GiB, pictures over kMaxImagePixels
// and, when given, pictures that check refuses are refused.
bool loadImagePlanes(const std::string& path, LoadedPlanes& image, std::string& error,
                     RowOrder order = RowOrder::TopDown, const HeaderCheck& check = {});

// What loadImagePlanes does once the file is in memory: decodes size bytes
// trying first (None meaning BMP), then BMP, JPEG and PNG, and refuses
// pictures of more than maxPixels pixels or that check refuses. name stands
// for the file in error.
bool decodeImagePlanes(const std::uint8_t* data, std::size_t size, const std::string& name,
                       ImageFormat first, std::uint64_t maxPixels, LoadedPlanes& image,
                       std::string& error, RowOrder order = RowOrder::TopDown,
                       const HeaderCheck& check = {});

// Writes 1 or 3 planes as a 24-bit picture: each sample v becomes the byte
// trunc(min(255 v, 255)), 0 when 255 v < 0 or v is NaN. The file appears
// whole or not at all (written beside the target, then renamed), and an
// existing file is left untouched when writing fails. Returns false with
// error set for an unknown ending, a size without pixels or beyond
// kMaxImagePixels, a plane count other than 1 or 3, or a failed write.
// Metadata, when given, goes into JPEG and PNG files (BMP holds none). With
// 16 bits a sample, a PNG file holds round(65535 v) clamped to 0..65535 (0
// for NaN); JPEG and BMP files always hold bytes.
bool saveImagePlanes(const double* planes, int width, int height, int channels,
                     const std::string& path, std::string& error,
                     RowOrder order = RowOrder::TopDown,
                     const PictureMetadata* metadata = nullptr, int bitsPerSample = 8);

// Writes one plane as a grey 24-bit picture, top row first. Mode 0 converts
// like saveImagePlanes; mode 1 writes trunc((v - lo) / (hi - lo) * 255),
// where lo is the smaller of 1e6 and the smallest sample and hi the larger
// of -1e6 and the largest, so the plane's own range spans 0..255 (all black
// when hi equals lo; NaN samples are passed over and written black); any
// other mode writes black. Fails as saveImagePlanes does.
bool saveKernelImage(const double* plane, int width, int height, const std::string& path,
                     int mode, std::string& error);

// Pictures written together: each add encodes a picture and writes it to a
// new file beside its destination (failing as saveImagePlanes does); commit
// renames them all onto their destinations. Until commit every destination
// keeps its old content; files not committed are removed.
class PictureBatch {
 public:
  PictureBatch();
  ~PictureBatch();
  PictureBatch(const PictureBatch&) = delete;
  PictureBatch& operator=(const PictureBatch&) = delete;

  bool addPlanes(const double* planes, int width, int height, int channels,
                 const std::string& path, std::string& error, RowOrder order = RowOrder::TopDown,
                 const PictureMetadata* metadata = nullptr, int bitsPerSample = 8);
  bool addKernelImage(const double* plane, int width, int height, const std::string& path,
                      int mode, std::string& error);
  bool commit(std::string& error);

 private:
  struct Staged;
  bool add(const Picture& picture, const std::string& path, std::string& error);
  std::vector<std::unique_ptr<Staged>> staged_;
};

// Checks, before any work, that every output could be written and would
// destroy nothing the run reads: its directory exists and takes a new file,
// it is not a directory or any other kind of file than a regular one, it is
// not one of inputs (same device and inode, whatever the spelling or links),
// and no two outputs are the same file. On false, error names the output
// and the problem.
bool checkDestinations(const std::vector<std::string>& outputs,
                       const std::vector<std::string>& inputs, std::string& error);

}  // namespace kestrel
