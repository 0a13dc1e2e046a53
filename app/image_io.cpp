#include "app/image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include "codecs/bmp_codec.h"
#include "codecs/jpeg_codec.h"
#include "codecs/picture.h"
#include "codecs/png_codec.h"

namespace kestrel {
namespace {

// Larger files cannot hold a picture within kMaxImagePixels in any of the
// three formats, short of absurd metadata, and would only exhaust memory.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 31;
constexpr std::size_t kReadChunk = std::size_t{1} << 16;
constexpr int kTemporaryNameAttempts = 100;
// As the kernel allows in one path lookup.
constexpr int kMaxLinkHops = 40;
constexpr double kKernelRangeBound = 1e6;

using Decoder = bool (*)(const std::uint8_t*, std::size_t, const PictureLimit&, Picture&,
                        std::string&);
using Signature = bool (*)(const std::uint8_t*, std::size_t);
using Encoder = bool (*)(const Picture&, std::vector<std::uint8_t>&, std::string&);

struct Codec {
  ImageFormat format;
  Signature matches;
  Decoder decode;
  Encoder encode;
};

// In the fallback order.
constexpr Codec kCodecs[] = {
    {ImageFormat::Bmp, isBmp, decodeBmp, encodeBmp},
    {ImageFormat::Jpeg, isJpeg, decodeJpeg, encodeJpeg},
    {ImageFormat::Png, isPng, decodePng, encodePng},
};

// Any other format, None included, reads as BMP.
const Codec& codecFor(ImageFormat format) {
  for (const Codec& codec : kCodecs) {
    if (codec.format == format) return codec;
  }
  return kCodecs[0];
}

// The system's description of errno, in lower case to follow the colon.
std::string systemReason(int code) {
  std::string text = std::error_code(code, std::generic_category()).message();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

bool readFailure(const std::string& path, const std::string& reason, std::string& error) {
  error = "cannot read '" + path + "': " + reason;
  return false;
}

bool writeFailure(const std::string& path, const std::string& reason, std::string& error) {
  error = "cannot write '" + path + "': " + reason;
  return false;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  // Closes now, reporting the error that close may be the first to see.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Why a file of this kind cannot be read or replaced as a picture, or empty
// for a regular file.
std::string notAPictureFile(const struct stat& status) {
  if (S_ISREG(status.st_mode)) return {};
  return S_ISDIR(status.st_mode) ? "is a directory" : "is not a regular file";
}

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& reason) {
  // A pipe or a device is refused before it is opened: opening a pipe waits
  // for a writer that may never come. The non-blocking open covers the file
  // being replaced in between; the check after it decides.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    reason = notAPictureFile(status);
    if (!reason.empty()) return false;
  }
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    reason = systemReason(errno);
    return false;
  }
  if (fstat(file.get(), &status) != 0) {
    reason = systemReason(errno);
    return false;
  }
  reason = notAPictureFile(status);
  if (!reason.empty()) return false;
  const std::string tooLarge =
      "the file is larger than " + std::to_string(kMaxFileBytes) + " bytes";
  if (static_cast<std::uint64_t>(status.st_size) > kMaxFileBytes) {
    reason = tooLarge;
    return false;
  }
  bytes.reserve(static_cast<std::size_t>(status.st_size) + kReadChunk);
  // Read to the end rather than trusting the size, which a file being
  // written may change.
  std::size_t used = 0;
  for (;;) {
    bytes.resize(used + kReadChunk);
    const ssize_t got = ::read(file.get(), bytes.data() + used, kReadChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      reason = systemReason(errno);
      return false;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
    if (used > kMaxFileBytes) {
      reason = tooLarge;
      return false;
    }
  }
  bytes.resize(used);
  if (used == 0) {
    reason = "the file is empty";
    return false;
  }
  return true;
}

// A file being written beside its target; removed unless kept.
class TemporaryFile {
 public:
  TemporaryFile(std::string path, int fd) : path_(std::move(path)), file_(fd) {}
  ~TemporaryFile() {
    file_.close();
    if (!kept_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return file_.get(); }
  const std::string& path() const { return path_; }
  bool close() { return file_.close(); }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  FileDescriptor file_;
  bool kept_ = false;
};

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The file a write to path lands in: path with the symbolic links of its
// last component followed, so that the links themselves survive the write.
bool followLinks(const std::string& path, std::string& target, std::string& reason) {
  target = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat status {};
    if (::lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    char link[PATH_MAX];
    const ssize_t length = ::readlink(target.c_str(), link, sizeof link);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof link) {
      reason = systemReason(length < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    const std::string next(link, static_cast<std::size_t>(length));
    target = next[0] == '/' ? next : directoryOf(target) + "/" + next;
  }
  reason = systemReason(ELOOP);
  return false;
}

// Creates a new file in directory under a name no other writer holds. The
// name is short whatever the destination's, so that any name that fits the
// directory leaves room for it.
int createTemporary(const std::string& directory, std::string& temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = directory + "/.kestrel-" + std::to_string(getpid()) + "-" +
                std::to_string(counter++) + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes, std::string& reason) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      reason = systemReason(errno);
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  if (::fsync(fd) != 0) {
    reason = systemReason(errno);
    return false;
  }
  return true;
}

// What a destination is: the file its links lead to, and that file's device
// and inode when it exists already.
struct Destination {
  std::string target;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string canonical;  // the target's directory resolved, then its name
};

bool describeDestination(const std::string& path, Destination& destination,
                         std::string& reason) {
  if (!followLinks(path, destination.target, reason)) return false;
  struct stat status {};
  if (::stat(destination.target.c_str(), &status) == 0) {
    // A device or a pipe would be replaced by a regular file, or would
    // swallow the picture without a way to know it arrived whole.
    reason = notAPictureFile(status);
    if (!reason.empty()) return false;
    destination.exists = true;
    destination.device = status.st_dev;
    destination.inode = status.st_ino;
  } else if (errno != ENOENT) {
    reason = systemReason(errno);
    return false;
  }
  char directory[PATH_MAX];
  if (::realpath(directoryOf(destination.target).c_str(), directory) == nullptr) {
    reason = systemReason(errno);
    return false;
  }
  destination.canonical = std::string(directory) + "/" + nameOf(destination.target);
  return true;
}

bool sameFile(const Destination& a, const Destination& b) {
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  return a.canonical == b.canonical;
}

// Byte of a sample: trunc(min(255 v, 255)); negative and NaN samples give 0.
std::uint8_t sampleToByte(double v) {
  const double t = 255.0 * v;
  if (!(t > 0.0)) return 0;
  return t >= 255.0 ? 255 : static_cast<std::uint8_t>(t);
}

// Word of a sample for 16-bit files: the nearest of 0..65535 to 65535 v,
// clamped; NaN gives 0. Rounding, not truncation, gives back exactly the
// word a 16-bit file was read with.
std::uint16_t sampleToWord(double v) {
  const double t = 65535.0 * v;
  if (!(t > 0.0)) return 0;
  return t >= 65535.0 ? 65535 : static_cast<std::uint16_t>(t + 0.5);
}

// A black picture of the given size, or false with error set.
bool blankPicture(int width, int height, const std::string& path, Picture& picture,
                  std::string& error) {
  if (formatFromPath(path) == ImageFormat::None) {
    return writeFailure(path, "unknown picture format (the name must end in png, jpg or bmp)",
                        error);
  }
  if (width <= 0 || height <= 0) {
    return writeFailure(path,
                        "a picture of " + std::to_string(width) + "x" + std::to_string(height) +
                            " pixels has no pixels",
                        error);
  }
  std::string reason;
  if (!pictureSizeAllowed(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                          kMaxImagePixels, reason)) {
    return writeFailure(path, reason, error);
  }
  picture.width = width;
  picture.height = height;
  picture.rgb.assign(static_cast<std::size_t>(width) * height * 3, 0);
  return true;
}

int planeCount(const Picture& picture) {
  return picture.trueColour && !picture.hasAlpha ? 3 : 1;
}

void fillPlanes(const Picture& picture, RowOrder order, LoadedPlanes& image) {
  const int channels = planeCount(picture);
  const std::size_t width = static_cast<std::size_t>(picture.width);
  const std::size_t height = static_cast<std::size_t>(picture.height);
  const std::size_t planeSize = width * height;
  std::vector<double> planes(planeSize * channels);
  const bool deep = !picture.deep.empty();
  for (std::size_t y = 0; y < height; ++y) {
    const std::size_t pictureRow = order == RowOrder::TopDown ? y : height - 1 - y;
    const std::size_t first = pictureRow * width * 3;
    for (std::size_t x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const std::size_t sample = first + 3 * x + c;
        planes[c * planeSize + y * width + x] =
            deep ? picture.deep[sample] / 65535.0 : picture.rgb[sample] / 255.0;
      }
    }
  }
  image.planes = std::move(planes);
  image.bitsPerSample = deep ? 16 : 8;
  image.metadata.exif = picture.exif;
  image.metadata.iccProfile = picture.iccProfile;
  image.width = picture.width;
  image.height = picture.height;
  image.channels = channels;
}

}  // namespace

ImageFormat formatFromPath(const std::string& path) {
  if (path.size() < 3) return ImageFormat::None;
  const std::string ending = path.substr(path.size() - 3);
  if (ending == "png") return ImageFormat::Png;
  if (ending == "jpg") return ImageFormat::Jpeg;
  if (ending == "bmp") return ImageFormat::Bmp;
  return ImageFormat::None;
}

bool decodeImagePlanes(const std::uint8_t* data, std::size_t size, const std::string& name,
                       ImageFormat first, std::uint64_t maxPixels, LoadedPlanes& image,
                       std::string& error, RowOrder order, const HeaderCheck& check) {
  PictureLimit limit(maxPixels);
  if (check) {
    limit.accepts = [&check](const Picture& header, std::string& reason) {
      return check(header.width, header.height, planeCount(header), reason);
    };
  }
  const Codec& chosen = codecFor(first);
  Picture picture;
  std::string reason;
  bool decoded = chosen.decode(data, size, limit, picture, reason);
  // The fallback retries neither the chosen codec, whose answer would not
  // change, nor any codec whose signature the data lacks.
  for (const Codec& codec : kCodecs) {
    if (decoded) break;
    if (&codec != &chosen && codec.matches(data, size)) {
      decoded = codec.decode(data, size, limit, picture, reason);
    }
  }
  if (!decoded) {
    bool recognised = false;
    for (const Codec& codec : kCodecs) recognised = recognised || codec.matches(data, size);
    return readFailure(name, recognised ? reason : "not a PNG, JPEG or BMP picture", error);
  }
  fillPlanes(picture, order, image);
  return true;
}

bool loadImagePlanes(const std::string& path, LoadedPlanes& image, std::string& error,
                     RowOrder order, const HeaderCheck& check) {
  std::vector<std::uint8_t> bytes;
  std::string reason;
  if (!readWholeFile(path, bytes, reason)) return readFailure(path, reason, error);
  return decodeImagePlanes(bytes.data(), bytes.size(), path, formatFromPath(path), kMaxImagePixels,
                           image, error, order, check);
}

bool PictureBatch::addPlanes(const double* planes, int width, int height, int channels,
                             const std::string& path, std::string& error, RowOrder order,
                             const PictureMetadata* metadata, int bitsPerSample) {
  if (channels != 1 && channels != 3) {
    return writeFailure(path, std::to_string(channels) + " planes given, 1 or 3 expected", error);
  }
  Picture picture;
  if (!blankPicture(width, height, path, picture, error)) return false;
  assert(planes != nullptr);
  const bool deep = bitsPerSample == 16;
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t h = static_cast<std::size_t>(height);
  if (deep) picture.deep.resize(picture.rgb.size());
  for (std::size_t y = 0; y < h; ++y) {
    const std::size_t pictureRow = order == RowOrder::TopDown ? y : h - 1 - y;
    const std::size_t first = pictureRow * w * 3;
    for (std::size_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double v = planes[(channels == 1 ? 0 : c) * w * h + y * w + x];
        picture.rgb[first + 3 * x + c] = sampleToByte(v);
        if (deep) picture.deep[first + 3 * x + c] = sampleToWord(v);
      }
    }
  }
  if (metadata) {
    picture.exif = metadata->exif;
    picture.iccProfile = metadata->iccProfile;
  }
  return add(picture, path, error);
}

bool PictureBatch::addKernelImage(const double* plane, int width, int height,
                                  const std::string& path, int mode, std::string& error) {
  Picture picture;
  if (!blankPicture(width, height, path, picture, error)) return false;
  assert(plane != nullptr);
  const std::size_t count = static_cast<std::size_t>(width) * height;
  double lo = kKernelRangeBound;
  double hi = -kKernelRangeBound;
  for (std::size_t i = 0; i < count; ++i) {
    // Comparisons with NaN are false, so NaN samples leave both bounds alone.
    if (plane[i] < lo) lo = plane[i];
    if (plane[i] > hi) hi = plane[i];
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t byte = 0;
    if (mode == 0) {
      byte = sampleToByte(plane[i]);
    } else if (mode == 1 && hi != lo) {
      // sampleToByte multiplies by 255 after the division, the same
      // arithmetic as (v - lo) / (hi - lo) * 255, and guards NaN.
      byte = sampleToByte((plane[i] - lo) / (hi - lo));
    }
    std::uint8_t* pixel = picture.rgb.data() + 3 * i;
    pixel[0] = pixel[1] = pixel[2] = byte;
  }
  return add(picture, path, error);
}

// A picture encoded and written beside its destination, waiting to be
// renamed onto it.
struct PictureBatch::Staged {
  Staged(std::string path, std::string target, std::string temporary, int fd)
      : path(std::move(path)), target(std::move(target)), file(std::move(temporary), fd) {}

  std::string path;
  std::string target;
  TemporaryFile file;
};

PictureBatch::PictureBatch() = default;
PictureBatch::~PictureBatch() = default;

bool PictureBatch::add(const Picture& picture, const std::string& path, std::string& error) {
  std::vector<std::uint8_t> bytes;
  std::string reason;
  if (!codecFor(formatFromPath(path)).encode(picture, bytes, reason)) {
    return writeFailure(path, reason, error);
  }
  Destination destination;
  if (!describeDestination(path, destination, reason)) return writeFailure(path, reason, error);
  std::string name;
  const int fd = createTemporary(directoryOf(destination.target), name);
  if (fd < 0) return writeFailure(path, systemReason(errno), error);
  staged_.push_back(std::make_unique<Staged>(path, destination.target, std::move(name), fd));
  TemporaryFile& file = staged_.back()->file;
  if (!writeAll(file.fd(), bytes, reason)) return writeFailure(path, reason, error);
  if (!file.close()) return writeFailure(path, systemReason(errno), error);
  return true;
}

bool PictureBatch::commit(std::string& error) {
  for (const std::unique_ptr<Staged>& staged : staged_) {
    if (::rename(staged->file.path().c_str(), staged->target.c_str()) != 0) {
      return writeFailure(staged->path, systemReason(errno), error);
    }
    staged->file.keep();
  }
  staged_.clear();
  return true;
}

bool saveImagePlanes(const double* planes, int width, int height, int channels,
                     const std::string& path, std::string& error, RowOrder order,
                     const PictureMetadata* metadata, int bitsPerSample) {
  PictureBatch batch;
  return batch.addPlanes(planes, width, height, channels, path, error, order, metadata,
                         bitsPerSample) &&
         batch.commit(error);
}

bool saveKernelImage(const double* plane, int width, int height, const std::string& path, int mode,
                     std::string& error) {
  PictureBatch batch;
  return batch.addKernelImage(plane, width, height, path, mode, error) && batch.commit(error);
}

bool checkDestinations(const std::vector<std::string>& outputs,
                       const std::vector<std::string>& inputs, std::string& error) {
  std::vector<Destination> written;
  for (const std::string& path : outputs) {
    Destination destination;
    std::string reason;
    if (!describeDestination(path, destination, reason)) return writeFailure(path, reason, error);
    // Proves the directory takes a new file now, rather than after the work.
    std::string probe;
    const int fd = createTemporary(directoryOf(destination.target), probe);
    if (fd < 0) return writeFailure(path, systemReason(errno), error);
    const TemporaryFile removedAgain(std::move(probe), fd);
    for (const std::string& input : inputs) {
      struct stat status {};
      if (destination.exists && ::stat(input.c_str(), &status) == 0 &&
          status.st_dev == destination.device && status.st_ino == destination.inode) {
        return writeFailure(path, "it is the same file as the input '" + input + "'", error);
      }
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
      if (sameFile(written[i], destination)) {
        return writeFailure(path, "it is the same file as the output '" + outputs[i] + "'",
                            error);
      }
    }
    written.push_back(std::move(destination));
  }
  return true;
}

}  // namespace kestrel
