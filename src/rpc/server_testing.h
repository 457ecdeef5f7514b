// server_testing.h -- test seams of the server runtime.
//
// Thread-safety: the setting is atomic; it applies to receives that start
// after the call.
#ifndef QZ_RPC_SERVER_TESTING_H_
#define QZ_RPC_SERVER_TESTING_H_

namespace qz::rpc {

// How long a connection may stall inside a PDU or between the fragments of
// a call before the server closes it (default 120 s; idle waits between
// calls are unbounded).
void SetServerStallTimeoutForTesting(int ms);

// The next `n` connection threads fail to start, as std::thread does when
// the process may create no more threads.
void FailConnectionThreadsForTesting(int n);

}  // namespace qz::rpc

#endif  // QZ_RPC_SERVER_TESTING_H_
