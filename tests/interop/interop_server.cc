// interop_server.cc -- test server for the interoperability tests: an
// endpoint mapper on a TCP port and an echo interface on another, the
// echo interface registered with the mapper over the wire (ept_insert, over
// ncalrpc in a private directory: the mapper takes registrations only
// from local callers).
// Prints "READY <epm_port> <echo_port>" and serves until stdin closes.
//
// Usage: qzrpc_interop_server [epm_port]   (0 or absent: a free port)
// Thread-safety: single main thread plus the runtime's server threads.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "rpc/epm.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server.h"

int main(int argc, char** argv) {
  using namespace qz::rpc;
  uint16_t want = argc > 1 ? static_cast<uint16_t>(atoi(argv[1])) : 0;
  char dir[] = "/tmp/qzrpc-interop-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("QZRPC_LRPC_DIR", dir, 1);
  EndpointMapperService epm;
  if (!epm.Start("127.0.0.1", want, true)) {
    fprintf(stderr, "cannot listen for the endpoint mapper\n");
    return 1;
  }
  setenv("QZRPC_EPM_PORT", std::to_string(epm.tcp_port()).c_str(), 1);
  testing::EchoDispatcher echo;
  Server server;
  server.RegisterInterface(testing::EchoInterface(), &echo);
  uint16_t port = server.ListenTcp("127.0.0.1", 0);
  if (port == 0) {
    fprintf(stderr, "cannot listen for the echo interface\n");
    return 1;
  }
  server.Start();
  uint32_t st = EptInsert("ncalrpc", "", testing::EchoInterface(), "ncacn_ip_tcp",
                          std::to_string(port), "qzrpc interop echo");
  if (st != 0) {
    fprintf(stderr, "ept_insert failed: %u\n", st);
    return 1;
  }
  printf("READY %u %u\n", epm.tcp_port(), port);
  fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  server.Stop();
  epm.Stop();
  rmdir(dir);
  return 0;
}
