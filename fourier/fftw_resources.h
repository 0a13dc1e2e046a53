// Owning wrappers for FFTW memory and plans.
//
// Every spectrum in Kestrel lives in an FftwBuffer (fftw_malloc'd, so
// suitably aligned for SIMD transforms) and every transform is an FftwPlan.
// Both are move-only and release their resource in the destructor.
#pragma once

#include <fftw3.h>

#include <cstddef>

namespace kestrel {

// rows x cols complex values, row-major, zero-filled on construction.
// Throws std::bad_alloc when the allocation fails.
class FftwBuffer {
 public:
  FftwBuffer() = default;
  explicit FftwBuffer(std::size_t count);
  ~FftwBuffer();

  FftwBuffer(FftwBuffer&& other) noexcept;
  FftwBuffer& operator=(FftwBuffer&& other) noexcept;
  FftwBuffer(const FftwBuffer&) = delete;
  FftwBuffer& operator=(const FftwBuffer&) = delete;

  fftw_complex* data() { return data_; }
  const fftw_complex* data() const { return data_; }
  std::size_t size() const { return count_; }
  fftw_complex& operator[](std::size_t i) { return data_[i]; }
  const fftw_complex& operator[](std::size_t i) const { return data_[i]; }

  // Hands the memory to the caller, who must release it with fftw_free.
  fftw_complex* release();
  void reset();

 private:
  fftw_complex* data_ = nullptr;
  std::size_t count_ = 0;
};

// count doubles, fftw_malloc'd (aligned for FFTW's SIMD code), zero-filled.
class FftwRealBuffer {
 public:
  FftwRealBuffer() = default;
  explicit FftwRealBuffer(std::size_t count);
  ~FftwRealBuffer();

  FftwRealBuffer(FftwRealBuffer&& other) noexcept;
  FftwRealBuffer& operator=(FftwRealBuffer&& other) noexcept;
  FftwRealBuffer(const FftwRealBuffer&) = delete;
  FftwRealBuffer& operator=(const FftwRealBuffer&) = delete;

  double* data() { return data_; }
  const double* data() const { return data_; }
  std::size_t size() const { return count_; }
  double& operator[](std::size_t i) { return data_[i]; }
  const double& operator[](std::size_t i) const { return data_[i]; }

 private:
  double* data_ = nullptr;
  std::size_t count_ = 0;
};

// A transform bound to one input and one output array. Planned with
// FFTW_ESTIMATE, which never touches the arrays, so planning does not
// disturb data already in them. Planning is serialised internally, so plans
// may be made from several threads; executing different plans, or one plan
// on different arrays, is safe concurrently.
class FftwPlan {
 public:
  FftwPlan() = default;
  ~FftwPlan();

  FftwPlan(FftwPlan&& other) noexcept;
  FftwPlan& operator=(FftwPlan&& other) noexcept;
  FftwPlan(const FftwPlan&) = delete;
  FftwPlan& operator=(const FftwPlan&) = delete;

  // sign is FFTW_FORWARD or FFTW_BACKWARD; rows is the slower dimension.
  static FftwPlan dft2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign);
  static FftwPlan dft1d(int length, fftw_complex* in, fftw_complex* out, int sign);
  // Real rows x cols grid to its rows x (cols/2 + 1) half spectrum, and back
  // (the backward transform overwrites its input).
  static FftwPlan realForward2d(int rows, int cols, double* in, fftw_complex* out);
  static FftwPlan realBackward2d(int rows, int cols, fftw_complex* in, double* out);

  // count contiguous real rows of length values to their half spectra
  // (length/2 + 1 values each, rows also contiguous), and back (the
  // backward transform overwrites its input).
  static FftwPlan realRows(int count, int length, double* in, fftw_complex* out);
  static FftwPlan realRowsBackward(int count, int length, fftw_complex* in, double* out);
  // In place along count contiguous complex rows of length values each.
  static FftwPlan rows(int count, int length, fftw_complex* data, int sign);
  // Along the count neighbouring columns of a length x count grid, from in
  // into a grid of the same layout at out. Runs on other arrays of any
  // alignment as well.
  static FftwPlan columnsToAnyArray(int length, int count, fftw_complex* in, fftw_complex* out,
                                    int sign);

  void execute() const;
  // Runs the plan on other arrays of the same size and alignment.
  void execute(fftw_complex* in, fftw_complex* out) const;
  void execute(double* in, fftw_complex* out) const;
  void execute(fftw_complex* in, double* out) const;

 private:
  explicit FftwPlan(fftw_plan plan) : plan_(plan) {}
  fftw_plan plan_ = nullptr;
};

// One transform of in into out, planned and destroyed on the spot.
void transform2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign);

}  // namespace kestrel
