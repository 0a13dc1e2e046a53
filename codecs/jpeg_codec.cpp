#include "codecs/jpeg_codec.h"

#include <cassert>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

// jpeglib.h needs size_t and FILE declared before it, and jerror.h needs
// the configuration jpeglib.h brings to list the arithmetic-coding codes.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace kestrel {
namespace {

constexpr std::size_t kOutputChunk = 16384;
constexpr int kExifMarker = JPEG_APP0 + 1;
constexpr int kIccMarker = JPEG_APP0 + 2;
// What an APP1 marker holding Exif begins with.
constexpr JOCTET kExifSignature[] = {'E', 'x', 'i', 'f', 0, 0};
// A marker's payload is at most 65533 bytes.
constexpr std::size_t kLargestMarker = 65533;
constexpr std::size_t kIccHeaderSize = 128;

// libjpeg's error manager extended with the jump point and the first message
// that matters. Errors jump back to the function that set the point;
// warnings never print.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX] = {};
  bool dataLost = false;
  int lostCode = 0;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  // Once data was lost, that is the cause of whatever libjpeg stumbles on next.
  if (!errors->dataLost) cinfo->err->format_message(cinfo, errors->message);
  std::longjmp(errors->jump, 1);
}

// Warnings whose repair by libjpeg would fill part of the picture with
// invented pixels. The others (unknown JFIF version, stray bytes between
// markers, a bad ICC profile) leave the pixels intact.
bool warningLosesData(int code) {
  switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
      return true;
    default:
      return false;
  }
}

void onJpegMessage(j_common_ptr cinfo, int level) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  if (level >= 0 || errors->dataLost || !warningLosesData(cinfo->err->msg_code)) return;
  errors->dataLost = true;
  errors->lostCode = cinfo->err->msg_code;
  cinfo->err->format_message(cinfo, errors->message);
}

void installErrors(JpegErrors& errors) {
  jpeg_std_error(&errors.manager);
  errors.manager.error_exit = onJpegError;
  errors.manager.emit_message = onJpegMessage;
}

// State of one decoding, owned by the caller of readJpeg so that a longjmp
// out of libjpeg leaves it whole; the destructor releases libjpeg's memory
// on both paths (jpeg_destroy accepts a structure that was never created).
struct JpegReadState {
  jpeg_decompress_struct cinfo{};
  JpegErrors errors;
  Picture picture;
  std::vector<JSAMPLE> greyRow;

  ~JpegReadState() { jpeg_destroy_decompress(&cinfo); }
};

// The Exif block of the first APP1 marker that holds one, and the ICC
// profile that libjpeg reassembles from its APP2 chunks (a damaged profile
// is left out).
void readMetadata(JpegReadState& state) {
  for (jpeg_saved_marker_ptr marker = state.cinfo.marker_list; marker; marker = marker->next) {
    if (marker->marker == kExifMarker && marker->data_length > sizeof kExifSignature &&
        std::memcmp(marker->data, kExifSignature, sizeof kExifSignature) == 0) {
      state.picture.exif.assign(marker->data + sizeof kExifSignature,
                                marker->data + marker->data_length);
      break;
    }
  }
  JOCTET* profile = nullptr;
  unsigned int length = 0;
  if (jpeg_read_icc_profile(&state.cinfo, &profile, &length)) {
    const std::unique_ptr<JOCTET, decltype(&std::free)> owned(profile, &std::free);
    state.picture.iccProfile.assign(profile, profile + length);
  }
}

// Returns false on a libjpeg error or lost data (text in state.errors) or
// when the picture is refused (reason set).
bool readJpeg(JpegReadState& state, const std::uint8_t* data, std::size_t size,
              const PictureLimit& limit, std::string& reason) {
  if (setjmp(state.errors.jump)) return false;
  jpeg_decompress_struct& cinfo = state.cinfo;
  cinfo.err = &state.errors.manager;
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_save_markers(&cinfo, kExifMarker, 0xFFFF);
  jpeg_save_markers(&cinfo, kIccMarker, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  if (state.errors.dataLost) return false;
  if (!pictureSizeAllowed(cinfo.image_width, cinfo.image_height, limit.maxPixels, reason)) {
    return false;
  }

  Picture& picture = state.picture;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      cinfo.out_color_space = JCS_GRAYSCALE;
      picture.bitsPerPixel = 8;
      picture.trueColour = false;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      cinfo.out_color_space = JCS_RGB;
      picture.bitsPerPixel = 24;
      picture.trueColour = true;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      reason = "CMYK JPEG pictures are not supported";
      return false;
    default:
      reason = "JPEG colour space of " + std::to_string(cinfo.num_components) +
               " components is not supported";
      return false;
  }
  picture.hasAlpha = false;
  picture.width = static_cast<int>(cinfo.image_width);
  picture.height = static_cast<int>(cinfo.image_height);
  if (!headerAccepted(picture, limit, reason)) return false;
  readMetadata(state);

  // A progressive picture is read whole here, so damage shows up already.
  jpeg_start_decompress(&cinfo);
  if (state.errors.dataLost) return false;
  const std::size_t width = cinfo.output_width;
  picture.rgb.resize(width * cinfo.output_height * 3);
  if (cinfo.output_components == 1) state.greyRow.resize(width);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPLE* pixels = picture.rgb.data() + std::size_t{cinfo.output_scanline} * width * 3;
    JSAMPROW row = cinfo.output_components == 1 ? state.greyRow.data() : pixels;
    jpeg_read_scanlines(&cinfo, &row, 1);
    // Stop at the first damage instead of decoding a picture that is refused.
    if (state.errors.dataLost) return false;
    if (cinfo.output_components == 1) {
      for (std::size_t x = 0; x < width; ++x) {
        pixels[3 * x] = pixels[3 * x + 1] = pixels[3 * x + 2] = state.greyRow[x];
      }
    }
  }
  return true;
}

// A destination manager that collects the encoded bytes in a vector.
struct VectorDestination {
  jpeg_destination_mgr manager;
  std::vector<std::uint8_t>* file = nullptr;
  JOCTET buffer[kOutputChunk];
};

void startOutput(j_compress_ptr cinfo) {
  auto* destination = reinterpret_cast<VectorDestination*>(cinfo->dest);
  destination->manager.next_output_byte = destination->buffer;
  destination->manager.free_in_buffer = kOutputChunk;
}

boolean flushFullBuffer(j_compress_ptr cinfo) {
  auto* destination = reinterpret_cast<VectorDestination*>(cinfo->dest);
  if (!appendBytes(*destination->file, destination->buffer, kOutputChunk)) {
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  }
  startOutput(cinfo);
  return TRUE;
}

void finishOutput(j_compress_ptr cinfo) {
  auto* destination = reinterpret_cast<VectorDestination*>(cinfo->dest);
  const std::size_t used = kOutputChunk - destination->manager.free_in_buffer;
  if (!appendBytes(*destination->file, destination->buffer, used)) {
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  }
}

struct JpegWriteState {
  jpeg_compress_struct cinfo{};
  JpegErrors errors;
  VectorDestination destination;
  std::vector<std::uint8_t> file;
  std::vector<JOCTET> marker;

  ~JpegWriteState() { jpeg_destroy_compress(&cinfo); }
};

bool writeJpeg(JpegWriteState& state, const Picture& picture) {
  if (setjmp(state.errors.jump)) return false;
  jpeg_compress_struct& cinfo = state.cinfo;
  cinfo.err = &state.errors.manager;
  jpeg_create_compress(&cinfo);
  state.destination.manager.init_destination = startOutput;
  state.destination.manager.empty_output_buffer = flushFullBuffer;
  state.destination.manager.term_destination = finishOutput;
  state.destination.file = &state.file;
  cinfo.dest = &state.destination.manager;

  cinfo.image_width = static_cast<JDIMENSION>(picture.width);
  cinfo.image_height = static_cast<JDIMENSION>(picture.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
  for (int c = 0; c < cinfo.num_components; ++c) {
    cinfo.comp_info[c].h_samp_factor = 1;
    cinfo.comp_info[c].v_samp_factor = 1;
  }
  cinfo.optimize_coding = TRUE;
  // Readers look for Exif right after the start of the picture, where
  // JFIF's APP0 would otherwise stand.
  const bool withExif =
      !picture.exif.empty() && picture.exif.size() + sizeof kExifSignature <= kLargestMarker;
  if (withExif) cinfo.write_JFIF_header = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  if (withExif) {
    state.marker.assign(kExifSignature, kExifSignature + sizeof kExifSignature);
    state.marker.insert(state.marker.end(), picture.exif.begin(), picture.exif.end());
    jpeg_write_marker(&cinfo, kExifMarker, state.marker.data(),
                      static_cast<unsigned int>(state.marker.size()));
  }
  // The picture written is RGB: a profile of another colour space would
  // misdescribe it. Bytes 16 to 19 of a profile name its colour space.
  const std::vector<std::uint8_t>& profile = picture.iccProfile;
  if (profile.size() >= kIccHeaderSize && std::memcmp(profile.data() + 16, "RGB ", 4) == 0) {
    jpeg_write_icc_profile(&cinfo, picture.iccProfile.data(),
                           static_cast<unsigned int>(picture.iccProfile.size()));
  }
  const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    // libjpeg takes non-const rows but only reads them.
    JSAMPROW row = const_cast<JSAMPLE*>(picture.rgb.data() + cinfo.next_scanline * rowBytes);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

}  // namespace

bool isJpeg(const std::uint8_t* data, std::size_t size) {
  return size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
}

bool decodeJpeg(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
                Picture& picture, std::string& reason) {
  if (!isJpeg(data, size)) {
    reason = "not a JPEG picture";
    return false;
  }
  JpegReadState state;
  installErrors(state.errors);
  std::string refusal;
  if (!readJpeg(state, data, size, limit, refusal)) {
    if (!refusal.empty()) {
      reason = refusal;
    } else if (state.errors.dataLost && state.errors.lostCode == JWRN_JPEG_EOF) {
      reason = "truncated JPEG data";
    } else {
      // libjpeg's own texts for damaged data already begin with this phrase.
      std::string text = state.errors.message;
      const std::string prefix = "Corrupt JPEG data: ";
      if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
      reason = "corrupt JPEG data (" + text + ")";
    }
    return false;
  }
  picture = std::move(state.picture);
  return true;
}

bool encodeJpeg(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason) {
  assert(picture.width > 0 && picture.height > 0);
  assert(picture.rgb.size() == static_cast<std::size_t>(picture.width) * picture.height * 3);
  JpegWriteState state;
  installErrors(state.errors);
  if (!writeJpeg(state, picture)) {
    reason = std::string("JPEG encoding failed (") + state.errors.message + ")";
    return false;
  }
  file = std::move(state.file);
  return true;
}

}  // namespace kestrel
