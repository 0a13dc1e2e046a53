// osprey: deconvolution with a known kernel under a hyper-Laplacian prior.
#include "app/nonblind_command.h"
#include "deconv/hyper_laplacian.h"

int main(int argc, char** argv) {
  kestrel::NonBlindCommand command;
  command.name = "osprey";
  command.usage = "usage: osprey imageFile kernelFile outputFileName lambda alpha\n";
  // alpha above 1 would no longer favour sparse gradients, and 0 or less
  // is no prior at all.
  command.numbers = {{"lambda", 30000.0, 0.0, 1e9}, {"alpha", 0.5, 0.0, 1.0}};
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
