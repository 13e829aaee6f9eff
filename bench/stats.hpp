// Timing samples and their summary for the native benchmark.
#pragma once

#include <algorithm>
#include <chrono>
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

}  // namespace tallyfold::bench
