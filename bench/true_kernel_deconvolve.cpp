// Deconvolves a picture with a known kernel exactly as kestrel's final stage
// does (boundary padding, least-squares TV with deringing, crop): the ceiling
// against which the blind estimate is measured by bench/quality.
//
// usage: true_kernel_deconvolve blurred kernel output [wtdeconv wtderinging]
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/image_io.h"
#include "deconv/tv_deconvolution.h"
#include "fourier/padding.h"

int main(int argc, char** argv) {
  using namespace kestrel;
  if (argc < 4) {
    std::fputs("usage: true_kernel_deconvolve blurred kernel output [wtdeconv wtderinging]\n",
               stderr);
    return 2;
  }
  double wtdeconv = 0.02;
  double wtderinging = 1.0;
  if ((argc > 4 && !parseReal(argv[4], wtdeconv)) || (argc > 5 && !parseReal(argv[5], wtderinging))) {
    std::fputs("true_kernel_deconvolve: bad number\n", stderr);
    return 2;
  }
  std::string error;
  LoadedPlanes image;
  LoadedPlanes kernelPicture;
  if (!loadImagePlanes(argv[1], image, error) || !loadImagePlanes(argv[2], kernelPicture, error)) {
    std::fprintf(stderr, "true_kernel_deconvolve: %s\n", error.c_str());
    return 1;
  }
  const int kh = kernelPicture.height;
  const int kw = kernelPicture.width;
  std::vector<double> kernel(kernelPicture.planes.begin(),
                             kernelPicture.planes.begin() + static_cast<std::ptrdiff_t>(kh) * kw);
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;

  const int rows = image.height + 2 * kh;
  const int cols = image.width + 2 * kw;
  const std::size_t paddedArea = static_cast<std::size_t>(rows) * cols;
  const std::size_t area = static_cast<std::size_t>(image.height) * image.width;
  std::vector<double> padded(paddedArea * image.channels);
  padImage(image.planes.data(), padded.data(), kernel.data(), image.width, image.height,
           image.channels, kw, kh, kw, kh);
  const int deringing = static_cast<int>((wtderinging > 5.0 ? 5.0 : wtderinging) * 10.0 + 0.5);
  std::vector<double> result(paddedArea);
  std::vector<double> output(image.planes.size());
  for (int c = 0; c < image.channels; ++c) {
    tvDeconvolve(padded.data() + paddedArea * c, result.data(), kernel.data(), rows, cols, kh, kw,
                 wtdeconv / 100.0, deringing);
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        output[area * c + static_cast<std::size_t>(y) * image.width + x] =
            result[static_cast<std::size_t>(y + kh) * cols + x + kw];
      }
    }
  }
  if (!saveImagePlanes(output.data(), image.width, image.height, image.channels, argv[3], error)) {
    std::fprintf(stderr, "true_kernel_deconvolve: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
