#include "fourier/fftw_resources.h"

#include <cstring>
#include <new>
#include <utility>

namespace kestrel {

FftwBuffer::FftwBuffer(std::size_t count) : count_(count) {
  if (count == 0) return;
  if (count > static_cast<std::size_t>(-1) / sizeof(fftw_complex)) throw std::bad_alloc();
  data_ = static_cast<fftw_complex*>(fftw_malloc(count * sizeof(fftw_complex)));
  if (data_ == nullptr) throw std::bad_alloc();
  std::memset(data_, 0, count * sizeof(fftw_complex));
}

FftwBuffer::~FftwBuffer() { reset(); }

FftwBuffer::FftwBuffer(FftwBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}

FftwBuffer& FftwBuffer::operator=(FftwBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

fftw_complex* FftwBuffer::release() {
  count_ = 0;
  return std::exchange(data_, nullptr);
}

void FftwBuffer::reset() {
  if (data_ != nullptr) fftw_free(data_);
  data_ = nullptr;
  count_ = 0;
}

FftwPlan::~FftwPlan() {
  if (plan_ != nullptr) fftw_destroy_plan(plan_);
}

FftwPlan::FftwPlan(FftwPlan&& other) noexcept : plan_(std::exchange(other.plan_, nullptr)) {}

FftwPlan& FftwPlan::operator=(FftwPlan&& other) noexcept {
  if (this != &other) {
    if (plan_ != nullptr) fftw_destroy_plan(plan_);
    plan_ = std::exchange(other.plan_, nullptr);
  }
  return *this;
}

FftwPlan FftwPlan::dft2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  fftw_plan plan = fftw_plan_dft_2d(rows, cols, in, out, sign, FFTW_ESTIMATE);
  if (plan == nullptr) throw std::bad_alloc();
  return FftwPlan(plan);
}

FftwPlan FftwPlan::dft1d(int length, fftw_complex* in, fftw_complex* out, int sign) {
  fftw_plan plan = fftw_plan_dft_1d(length, in, out, sign, FFTW_ESTIMATE);
  if (plan == nullptr) throw std::bad_alloc();
  return FftwPlan(plan);
}

void FftwPlan::execute() const { fftw_execute(plan_); }

void FftwPlan::execute(fftw_complex* in, fftw_complex* out) const {
  fftw_execute_dft(plan_, in, out);
}

void transform2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  FftwPlan::dft2d(rows, cols, in, out, sign).execute();
}

}  // namespace kestrel
