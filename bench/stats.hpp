// Timing samples and their summary for the native benchmark.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

namespace tallyfold::bench {

/// Seconds taken by `f()`, on the monotonic clock.
template <typename F>
double time_seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(stop - start).count();
}

/// CPU time of the calling thread, in seconds: unlike the wall clock it does not run
/// while the thread waits for a processor, so it stays meaningful on a busy machine.
inline double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// CPU time of the whole process (all threads), in seconds.
inline double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// The samples of one measurement: median, extremes and the relative spread.
class Samples {
 public:
  void add(double seconds) { values_.push_back(seconds); }
  bool empty() const noexcept { return values_.empty(); }
  std::size_t size() const noexcept { return values_.size(); }

  double median() const {
    std::vector<double> v = values_;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    if (n == 0) return 0.0;
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  double min() const { return values_.empty() ? 0.0 : *std::min_element(values_.begin(), values_.end()); }
  double max() const { return values_.empty() ? 0.0 : *std::max_element(values_.begin(), values_.end()); }
  /// (max - min) / median, so 0.05 means all runs lie within a 5 % band.
  double spread() const {
    const double m = median();
    return m > 0 ? (max() - min()) / m : 0.0;
  }

 private:
  std::vector<double> values_;
};

/// One single-threaded measurement, on both clocks.
struct Measurement {
  Samples wall;
  Samples cpu;

  template <typename F>
  void add(F&& f) {
    const double cpu_start = thread_cpu_seconds();
    wall.add(time_seconds(f));
    cpu.add(thread_cpu_seconds() - cpu_start);
  }
};

}  // namespace tallyfold::bench
