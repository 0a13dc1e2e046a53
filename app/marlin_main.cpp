// marlin: deconvolution with a known kernel under a total-variation prior.
#include "app/nonblind_command.h"
#include "deblur/final_stage.h"
#include "deconv/tv_deconvolution.h"

namespace {

// The energy is that of kestrel's least-squares final stage, whose weight is
// wtdeconv / 100; without the deringing second solve it wants more
// smoothing. With true kernels on photos and kernels kept apart from those
// the benchmarks report, the best of the weights tried (0.00005 to 0.01)
// at noise 0.002, 0.01 and 0.02 lie within 30 % of 1.4 times that weight.
constexpr double kSinglePassFactor = 1.4;

}  // namespace

int main(int argc, char** argv) {
  kestrel::NonBlindCommand command;
  command.name = "marlin";
  command.workload = kestrel::Workload::Marlin;
  command.usage = "usage: marlin imageFile kernelFile outputFileName wtdeconv\n";
  command.help =
      "\n"
      "Deconvolves imageFile with a known blur kernel under a total-variation prior\n"
      "and writes the result to outputFileName (its ending, png, jpg or bmp, chooses\n"
      "the format).\n"
      "\n"
      "  imageFile       blurred picture: PNG, JPEG or BMP\n"
      "  kernelFile      picture of the kernel: its red components, normalised to sum\n"
      "                  1; both sides odd, no larger than the picture\n"
      "  wtdeconv        smoothness weight; above 0, at most 100 (default 0.0002,\n"
      "                  which suits almost noise-free pictures), or auto, to pick it\n"
      "                  from the noise measured in the picture\n";
  // Above 0: a zero weight never ends the schedule of the splitting weight.
  command.numbers = {{"wtdeconv", 0.0002, {0.0, 100.0}}};
  command.deconvolve = [](const double* y, double* x, const double* kernel, int rows, int cols,
                          int kernelRows, int kernelCols, const std::vector<double>& numbers) {
    return kestrel::singleTvDeconvolve(y, x, kernel, rows, cols, kernelRows, kernelCols,
                                       numbers[0]);
  };
  command.automaticWeight = [](double noise, const std::vector<double>&) {
    return kSinglePassFactor * kestrel::automaticDeconvWeight(noise) / 100.0;
  };
  return kestrel::runNonBlindCommand(command, argc, argv);
}
