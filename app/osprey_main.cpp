// osprey: deconvolution with a known kernel under a hyper-Laplacian prior.
#include "app/nonblind_command.h"
#include "deconv/hyper_laplacian.h"

int main(int argc, char** argv) {
  kestrel::NonBlindCommand command;
  command.name = "osprey";
  command.workload = kestrel::Workload::Osprey;
  command.usage = "usage: osprey imageFile kernelFile outputFileName lambda alpha\n";
  command.help =
      "\n"
      "Deconvolves imageFile with a known blur kernel under a hyper-Laplacian prior\n"
      "on the gradients and writes the result to outputFileName (its ending, png, jpg\n"
      "or bmp, chooses the format).\n"
      "\n"
      "  imageFile       blurred picture: PNG, JPEG or BMP\n"
      "  kernelFile      picture of the kernel: its red components, normalised to sum\n"
      "                  1; both sides odd, no larger than the picture\n"
      "  lambda          weight of the data term; above 0, at most 1e9 (default 30000,\n"
      "                  which suits almost noise-free pictures; noisier ones need\n"
      "                  less), or auto, to pick it from the noise measured in the\n"
      "                  picture and from alpha\n"
      "  alpha           exponent of the prior; above 0, at most 1 (default 0.5).\n"
      "                  0.5 and 2/3 (0.667) are solved in closed form, others through\n"
      "                  a table; 1 is total variation\n";
  // alpha above 1 would no longer favour sparse gradients, and 0 or less
  // is no prior at all.
  command.numbers = {{"lambda", 30000.0, {0.0, 1e9}}, {"alpha", 0.5, {0.0, 1.0}}};
  command.deconvolve = [](const double* y, double* x, const double* kernel, int rows, int cols,
                          int kernelRows, int kernelCols, const std::vector<double>& numbers) {
    return kestrel::hyperLaplacianDeconvolve(y, x, kernel, rows, cols, kernelRows, kernelCols,
                                             numbers[0], numbers[1]);
  };
  command.automaticWeight = [](double noise, const std::vector<double>& numbers) {
    return kestrel::automaticHyperLaplacianWeight(noise, numbers[1]);
  };
  return kestrel::runNonBlindCommand(command, argc, argv);
}
