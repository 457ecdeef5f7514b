// rpc_exception.h -- the exception raised by the RPC runtime and the stubs.
//
// It stands in for the platform's structured exceptions: a call that fails
// in the runtime (transport, protocol, marshalling, a fault from the server)
// throws RpcException carrying the 32-bit status a Windows client would see
// (1722, 1726, 1780, 1783, ...). The session's guards catch it and turn the
// code into the operation's result. Thread-safe: a plain value type.
#ifndef QZ_CORE_RPC_EXCEPTION_H_
#define QZ_CORE_RPC_EXCEPTION_H_

#include <cstdint>
#include <exception>

namespace qz {

class RpcException : public std::exception {
 public:
  explicit RpcException(uint32_t code) noexcept : code_(code) {}
  uint32_t code() const noexcept { return code_; }
  const char* what() const noexcept override { return "rpc exception"; }

 private:
  uint32_t code_;
};

// Raises the RPC exception for `code` (never returns).
[[noreturn]] inline void RaiseRpcException(uint32_t code) { throw RpcException(code); }

// The platform's access-violation status.
inline constexpr uint32_t kAccessViolationCode = 0xC0000005u;

// Raised where the library finds caller memory that it cannot read or
// write (detected by probing, never by touching it): the stand-in for the
// platform's access-violation exception. The buffer-walk guard catches
// only this one; the standard guard catches it like any RpcException.
class AccessViolation : public RpcException {
 public:
  AccessViolation() noexcept : RpcException(kAccessViolationCode) {}
  const char* what() const noexcept override { return "access violation"; }
};

[[noreturn]] inline void RaiseAccessViolation() { throw AccessViolation(); }

}  // namespace qz

#endif  // QZ_CORE_RPC_EXCEPTION_H_
