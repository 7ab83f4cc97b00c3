// Paces datagrams: a token bucket that fills at a rate per second and holds
// a small burst, so that reports leave evenly rather than in runs that a
// receiver's socket buffer cannot hold. One thread uses a bucket.
#pragma once

#include <algorithm>
#include <chrono>

namespace watch {

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // The most a bucket holds at rate: about 8 ms of reports, at least one,
  // at most 16.
  static double Burst(double rate) { return std::clamp(rate / 125.0, 1.0, 16.0); }

  // Tokens now at rate (the bucket starts full).
  double Available(double rate, Clock::time_point now) {
    if (!started_) {
      started_ = true;
      tokens_ = Burst(rate);
    } else if (now > last_) {
      const double seconds = std::chrono::duration<double>(now - last_).count();
      tokens_ = std::min(Burst(rate), tokens_ + seconds * rate);
    }
    last_ = std::max(last_, now);
    return tokens_;
  }
  // How long until `wanted` tokens are there at rate (zero when they are).
  Clock::duration Until(double wanted, double rate, Clock::time_point now) {
    const double missing = std::min(wanted, Burst(rate)) - Available(rate, now);
    if (missing <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(missing / rate));
  }
  void Take(double count) { tokens_ -= count; }

 private:
  bool started_ = false;
  double tokens_ = 0;
  Clock::time_point last_{};
};

}  // namespace watch
