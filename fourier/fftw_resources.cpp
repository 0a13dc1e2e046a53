#include "fourier/fftw_resources.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace kestrel {
namespace {

// FFTW's planner keeps global state; only its execute calls are thread-safe.
std::mutex plannerLock;

template <typename Make>
fftw_plan planned(Make make) {
  std::lock_guard<std::mutex> guard(plannerLock);
  fftw_plan plan = make();
  if (plan == nullptr) throw std::bad_alloc();
  return plan;
}

// Grids of a few megabytes and more are walked down their columns, a page
// per value without huge pages: asking for huge pages spares the page walks
// (and most page faults). Only the whole pages inside the buffer are
// advised; where the kernel does not support it, nothing changes.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

void adviseHugePages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  if (bytes < kHugePageAdviceBytes) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t last = (start + bytes) / page * page;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

FftwRealBuffer::FftwRealBuffer(std::size_t count) : count_(count) {
  if (count == 0) return;
  if (count > static_cast<std::size_t>(-1) / sizeof(double)) throw std::bad_alloc();
  data_ = static_cast<double*>(fftw_malloc(count * sizeof(double)));
  if (data_ == nullptr) throw std::bad_alloc();
  adviseHugePages(data_, count * sizeof(double));
  std::memset(data_, 0, count * sizeof(double));
}

FftwRealBuffer::~FftwRealBuffer() {
  if (data_ != nullptr) fftw_free(data_);
}

FftwRealBuffer::FftwRealBuffer(FftwRealBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}

FftwRealBuffer& FftwRealBuffer::operator=(FftwRealBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) fftw_free(data_);
    data_ = std::exchange(other.data_, nullptr);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

FftwBuffer::FftwBuffer(std::size_t count) : count_(count) {
  if (count == 0) return;
  if (count > static_cast<std::size_t>(-1) / sizeof(fftw_complex)) throw std::bad_alloc();
  data_ = static_cast<fftw_complex*>(fftw_malloc(count * sizeof(fftw_complex)));
  if (data_ == nullptr) throw std::bad_alloc();
  adviseHugePages(data_, count * sizeof(fftw_complex));
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
  if (plan_ != nullptr) {
    std::lock_guard<std::mutex> guard(plannerLock);
    fftw_destroy_plan(plan_);
  }
}

FftwPlan::FftwPlan(FftwPlan&& other) noexcept : plan_(std::exchange(other.plan_, nullptr)) {}

FftwPlan& FftwPlan::operator=(FftwPlan&& other) noexcept {
  if (this != &other) {
    if (plan_ != nullptr) {
      std::lock_guard<std::mutex> guard(plannerLock);
      fftw_destroy_plan(plan_);
    }
    plan_ = std::exchange(other.plan_, nullptr);
  }
  return *this;
}

FftwPlan FftwPlan::dft2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  return FftwPlan(
      planned([&] { return fftw_plan_dft_2d(rows, cols, in, out, sign, FFTW_ESTIMATE); }));
}

FftwPlan FftwPlan::dft1d(int length, fftw_complex* in, fftw_complex* out, int sign) {
  return FftwPlan(planned([&] { return fftw_plan_dft_1d(length, in, out, sign, FFTW_ESTIMATE); }));
}

FftwPlan FftwPlan::realForward2d(int rows, int cols, double* in, fftw_complex* out) {
  return FftwPlan(planned([&] { return fftw_plan_dft_r2c_2d(rows, cols, in, out, FFTW_ESTIMATE); }));
}

FftwPlan FftwPlan::realBackward2d(int rows, int cols, fftw_complex* in, double* out) {
  return FftwPlan(planned([&] { return fftw_plan_dft_c2r_2d(rows, cols, in, out, FFTW_ESTIMATE); }));
}

FftwPlan FftwPlan::realRows(int count, int length, double* in, fftw_complex* out) {
  const int half = length / 2 + 1;
  return FftwPlan(planned([&] {
    return fftw_plan_many_dft_r2c(1, &length, count, in, nullptr, 1, length, out, nullptr, 1, half,
                                  FFTW_ESTIMATE);
  }));
}

FftwPlan FftwPlan::realRowsBackward(int count, int length, fftw_complex* in, double* out) {
  const int half = length / 2 + 1;
  return FftwPlan(planned([&] {
    return fftw_plan_many_dft_c2r(1, &length, count, in, nullptr, 1, half, out, nullptr, 1, length,
                                  FFTW_ESTIMATE);
  }));
}

FftwPlan FftwPlan::rows(int count, int length, fftw_complex* data, int sign) {
  return FftwPlan(planned([&] {
    return fftw_plan_many_dft(1, &length, count, data, nullptr, 1, length, data, nullptr, 1, length,
                              sign, FFTW_ESTIMATE);
  }));
}

FftwPlan FftwPlan::columnsToAnyArray(int length, int count, fftw_complex* in, fftw_complex* out,
                                     int sign) {
  return FftwPlan(planned([&] {
    return fftw_plan_many_dft(1, &length, count, in, nullptr, count, 1, out, nullptr, count, 1,
                              sign, FFTW_ESTIMATE | FFTW_UNALIGNED);
  }));
}

void FftwPlan::execute() const { fftw_execute(plan_); }

void FftwPlan::execute(fftw_complex* in, fftw_complex* out) const {
  fftw_execute_dft(plan_, in, out);
}

void FftwPlan::execute(double* in, fftw_complex* out) const {
  fftw_execute_dft_r2c(plan_, in, out);
}

void FftwPlan::execute(fftw_complex* in, double* out) const {
  fftw_execute_dft_c2r(plan_, in, out);
}

void transform2d(int rows, int cols, fftw_complex* in, fftw_complex* out, int sign) {
  FftwPlan::dft2d(rows, cols, in, out, sign).execute();
}

}  // namespace kestrel
