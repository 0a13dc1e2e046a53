// marlin: deconvolution with a known kernel under a total-variation prior.
#include "app/nonblind_command.h"
#include "deconv/tv_deconvolution.h"

int main(int argc, char** argv) {
  kestrel::NonBlindCommand command;
  command.name = "marlin";
  command.usage = "usage: marlin imageFile kernelFile outputFileName wtdeconv\n";
  // Above 0: a zero weight never ends the schedule of the splitting weight.
  command.numbers = {{"wtdeconv", 0.0002, 0.0, 100.0}};
  command.deconvolve = [](const double* y, double* x, const double* kernel, int rows, int cols,
                          int kernelRows, int kernelCols, const std::vector<double>& numbers) {
    return kestrel::singleTvDeconvolve(y, x, kernel, rows, cols, kernelRows, kernelCols,
                                       numbers[0]);
  };
  return kestrel::runNonBlindCommand(command, argc, argv);
}
