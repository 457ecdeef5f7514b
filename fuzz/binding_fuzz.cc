// binding_fuzz.cc -- libFuzzer target for string bindings: parse, compose
// what was parsed and parse that again (it must give the same parts), and
// make a binding handle (no connection is opened).
// Thread-safety: single-threaded, as libFuzzer runs it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rpc/binding_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz::rpc;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string obj, protseq, addr, ep, opts;
  if (RpcStringBindingParse(text, &obj, &protseq, &addr, &ep, &opts) == 0) {
    std::string again;
    if (RpcStringBindingCompose(obj, protseq, addr, ep, opts, &again) == 0) {
      std::string o2, p2, a2, e2, x2;
      if (RpcStringBindingParse(again, &o2, &p2, &a2, &e2, &x2) != 0 || o2 != obj ||
          p2 != protseq || a2 != addr || e2 != ep || x2 != opts)
        std::abort();  // compose and parse disagree
    }
  }
  BindingHandle h = nullptr;
  if (RpcBindingFromStringBinding(text, &h) == 0) RpcBindingFree(&h);
  return 0;
}
