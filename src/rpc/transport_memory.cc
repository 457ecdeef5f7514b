// transport_memory.cc -- an in-memory connected pair of transports, used
// by tests to drive the client and server engines without sockets.
//
// Thread-safety: each direction is a mutex-protected byte queue; one
// sender and one receiver per endpoint at a time, Shutdown from anywhere.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "rpc/transport.h"

namespace qz::rpc {

namespace {

struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<uint8_t> q[2];  // q[i]: bytes readable by endpoint i
  bool closed = false;
};

class MemoryTransport : public Transport {
 public:
  MemoryTransport(std::shared_ptr<Shared> s, int side) : s_(std::move(s)), side_(side) {}
  ~MemoryTransport() override { Shutdown(); }

  IoResult SendAll(std::span<const uint8_t> data) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    if (s_->closed) return IoResult::kClosed;
    s_->q[1 - side_].insert(s_->q[1 - side_].end(), data.begin(), data.end());
    s_->cv.notify_all();
    return IoResult::kOk;
  }

  IoResult ReadExact(void* buf, size_t n, int timeout_ms) override {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    std::unique_lock<std::mutex> lock(s_->mu);
    auto& q = s_->q[side_];
    while (got < n) {
      if (!q.empty()) {
        size_t k = std::min(n - got, q.size());
        std::copy(q.begin(), q.begin() + static_cast<long>(k), p + got);
        q.erase(q.begin(), q.begin() + static_cast<long>(k));
        got += k;
        continue;
      }
      if (s_->closed) return IoResult::kClosed;
      if (timeout_ms < 0) {
        s_->cv.wait(lock);
      } else if (s_->cv.wait_until(lock, deadline) == std::cv_status::timeout && q.empty() &&
                 !s_->closed) {
        return IoResult::kTimeout;
      }
    }
    return IoResult::kOk;
  }

  bool IdleAndOpen() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    return !s_->closed && s_->q[side_].empty();
  }

  void Shutdown() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->closed = true;
    s_->cv.notify_all();
  }

 private:
  std::shared_ptr<Shared> s_;
  int side_;
};

}  // namespace

std::pair<std::unique_ptr<Transport>, std::unique_ptr<Transport>> MakeMemoryPair() {
  auto s = std::make_shared<Shared>();
  return {std::make_unique<MemoryTransport>(s, 0), std::make_unique<MemoryTransport>(s, 1)};
}

}  // namespace qz::rpc
