// interop_client.cc -- our client side for the interoperability tests.
//
//   qzrpc_interop_client resolve <epm_port>
//       resolves the echo interface through the endpoint mapper at
//       127.0.0.1:<epm_port> (RpcEpResolveBinding), then echoes small and
//       fragmented payloads.
//   qzrpc_interop_client call <port> [bad_opnum_status]
//       calls the echo interface at 127.0.0.1:<port> directly: echo, a
//       large generated reply, and (with the extra argument) an opnum the
//       server lacks, expecting that status.
// Prints one line per step; exit status 0 only when every check held.
#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "rpc/binding_api.h"
#include "rpc/client.h"
#include "rpc/rpc_test_util.h"

namespace {

using namespace qz::rpc;

bool Echo(Binding* b, size_t n) {
  std::vector<uint8_t> in = testing::Pattern(n);
  Reply r = b->Call(testing::EchoInterface(), 0, in);
  bool ok = r.stub == in;
  printf("echo %zu bytes: %s\n", n, ok ? "ok" : "MISMATCH");
  return ok;
}

bool Generated(Binding* b, uint32_t n) {
  std::vector<uint8_t> req(4);
  std::memcpy(req.data(), &n, 4);
  Reply r = b->Call(testing::EchoInterface(), 1, req);
  bool ok = r.stub == testing::Pattern(n);
  printf("reply of %u bytes: %s (got %zu)\n", n, ok ? "ok" : "MISMATCH", r.stub.size());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s resolve <epm_port> | call <port> [status]\n", argv[0]);
    return 2;
  }
  std::string mode = argv[1];
  bool ok = true;
  try {
    if (mode == "resolve") {
      setenv("QZRPC_EPM_PORT", argv[2], 1);
      BindingHandle h = nullptr;
      uint32_t st = RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1", &h);
      if (st == 0) st = RpcEpResolveBinding(h, testing::EchoInterface());
      printf("resolve: status %u endpoint %s\n", st, h ? h->endpoint().c_str() : "-");
      if (st != 0) return 1;
      ok = Echo(h, 16) && Echo(h, 20000) && Generated(h, 9000);
      RpcBindingFree(&h);
    } else if (mode == "call") {
      Binding b("ncacn_ip_tcp", "127.0.0.1", argv[2]);
      ok = Echo(&b, 5) && Echo(&b, 60000) && Generated(&b, 300000);
      if (ok && argc > 3) {
        uint32_t want = static_cast<uint32_t>(strtoul(argv[3], nullptr, 0));
        uint32_t got = 0;
        try {
          b.Call(testing::EchoInterface(), 9, {});
        } catch (const qz::RpcException& e) {
          got = e.code();
        }
        printf("missing opnum: status %u (want %u)\n", got, want);
        ok = got == want;
      }
    } else {
      return 2;
    }
  } catch (const qz::RpcException& e) {
    printf("rpc exception %u\n", e.code());
    return 1;
  }
  return ok ? 0 : 1;
}
