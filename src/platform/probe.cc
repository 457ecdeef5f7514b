// probe.cc -- caller-memory probes through process_vm_readv/writev.
//
// Thread-safety: reentrant; keeps no state.
#include "platform/probe.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qz::platform {
namespace {

constexpr size_t kChunk = 4096;

// Set when process_vm_readv/writev are not available (a sandbox may
// forbid them); the pipe method is used from then on.
std::atomic<bool> g_use_pipe{false};

// Moves n bytes from `from` to `to` through a pipe: write(2) and read(2)
// report EFAULT for a bad user buffer instead of raising a signal. Raw
// system calls, like process_vm_readv, so that sanitizer interceptors do
// not inspect the probed range themselves.
bool PipeCopy(void* to, const void* from, size_t n) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < n) {
    size_t part = n - done < kChunk ? n - done : kChunk;
    ssize_t w = ::syscall(SYS_write, fds[1], static_cast<const char*>(from) + done, part);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    size_t got = 0;
    while (got < static_cast<size_t>(w)) {
      ssize_t r = ::syscall(SYS_read, fds[0], static_cast<char*>(to) + done + got,
                            static_cast<size_t>(w) - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ok = false;
        break;
      }
      got += static_cast<size_t>(r);
    }
    done += got;
  }
  ::close(fds[0]);
  ::close(fds[1]);
  return ok;
}

// Moves n bytes between our own address ranges through the kernel
// (remote -> local when reading, local -> remote when writing).
// Partial transfers are continued; any failure ends the probe.
bool Transfer(void* local, const void* remote, size_t n, bool write) {
  if (g_use_pipe.load(std::memory_order_relaxed)) {
    return write ? PipeCopy(const_cast<void*>(remote), local, n) : PipeCopy(local, remote, n);
  }
  // The current process every time: a pid cached before fork() would
  // make a child read and write its parent's memory.
  const pid_t self = ::getpid();
  size_t done = 0;
  while (done < n) {
    struct iovec l{static_cast<char*>(local) + done, n - done};
    struct iovec r{const_cast<char*>(static_cast<const char*>(remote)) + done, n - done};
    ssize_t got = write ? ::process_vm_writev(self, &l, 1, &r, 1, 0)
                        : ::process_vm_readv(self, &l, 1, &r, 1, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS || errno == EPERM) {
        g_use_pipe.store(true);
        return Transfer(static_cast<char*>(local) + done,
                        static_cast<const char*>(remote) + done, n - done, write);
      }
      return false;
    }
    if (got == 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void SetPipeProbingForTesting(bool use_pipe) { g_use_pipe.store(use_pipe); }

bool ProbeRead(const void* p, size_t n, void* copy_out) {
  if (n == 0) return true;
  if (p == nullptr) return false;
  if (copy_out != nullptr) return Transfer(copy_out, p, n, false);
  char buf[kChunk];
  for (size_t off = 0; off < n; off += kChunk) {
    size_t part = n - off < kChunk ? n - off : kChunk;
    if (!Transfer(buf, static_cast<const char*>(p) + off, part, false)) return false;
  }
  return true;
}

bool ProbeWrite(void* p, size_t n, const void* data) {
  if (n == 0) return true;
  if (p == nullptr) return false;
  // process_vm_writev takes the local side as the source.
  if (data != nullptr) return Transfer(const_cast<void*>(data), p, n, true);
  char buf[kChunk];
  for (size_t off = 0; off < n; off += kChunk) {
    size_t part = n - off < kChunk ? n - off : kChunk;
    char* at = static_cast<char*>(p) + off;
    if (!Transfer(buf, at, part, false) || !Transfer(buf, at, part, true)) return false;
  }
  return true;
}

bool SafeReadU32(const void* p, uint32_t* value) {
  uint32_t v = 0;
  if (!ProbeRead(p, sizeof v, &v)) return false;
  if (value) *value = v;
  return true;
}

bool SafeStrLen(const char* s, size_t max_len, size_t* len) {
  if (s == nullptr) return false;
  size_t total = 0;
  char buf[kChunk];
  while (total < max_len) {
    // Read up to the end of the current page so a string that ends just
    // before an unmapped page is still accepted.
    uintptr_t at = reinterpret_cast<uintptr_t>(s + total);
    size_t to_page_end = kChunk - (at % kChunk);
    size_t part = sizeof buf < to_page_end ? sizeof buf : to_page_end;
    if (part > max_len - total) part = max_len - total;
    if (!ProbeRead(s + total, part, buf)) return false;
    const void* nul = std::memchr(buf, '\0', part);
    if (nul != nullptr) {
      total += static_cast<size_t>(static_cast<const char*>(nul) - buf);
      if (len) *len = total;
      return true;
    }
    total += part;
  }
  if (len) *len = max_len;
  return true;
}

}  // namespace qz::platform
