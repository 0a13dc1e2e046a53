// Deconvolves a picture with a known kernel through kestrel's own final stage
// (boundary padding, least-squares TV with deringing, crop): the ceiling
// against which the blind estimate is measured by bench/quality.
//
// usage: true_kernel_deconvolve blurred kernel output [wtdeconv wtderinging]
// (wtdeconv may be auto, as for kestrel)
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/image_io.h"
#include "deblur/final_stage.h"

int main(int argc, char** argv) {
  using namespace kestrel;
  if (argc < 4) {
    std::fputs("usage: true_kernel_deconvolve blurred kernel output [wtdeconv wtderinging]\n",
               stderr);
    return 2;
  }
  double wtdeconv = 0.02;
  double wtderinging = 1.0;
  const bool automaticWeight = argc > 4 && std::string(argv[4]) == "auto";
  if ((argc > 4 && !automaticWeight && !parseReal(argv[4], wtdeconv)) ||
      (argc > 5 && !parseReal(argv[5], wtderinging))) {
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

  if (automaticWeight) {
    wtdeconv = automaticDeconvWeight(
        planeNoise(image.planes.data(), image.height, image.width, image.channels));
  }
  const int deringing = static_cast<int>((wtderinging > 5.0 ? 5.0 : wtderinging) * 10.0 + 0.5);
  std::vector<double> output(image.planes.size());
  deconvolvePicture(image.planes.data(), output.data(), image.height, image.width, image.channels,
                    kernel.data(), kh, kw, wtdeconv, deringing, 0, {});
  if (!saveImagePlanes(output.data(), image.width, image.height, image.channels, argv[3], error)) {
    std::fprintf(stderr, "true_kernel_deconvolve: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
