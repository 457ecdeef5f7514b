// faxdoc_main.cc -- qz_faxdoc: writes a fax document (TIFF, Group 4) that
// shows the given text, for demos and manual tests.
//   qz_faxdoc OUT.tif [TEXT...]   each TEXT is one row; '\n' also ends a row
#include <cstdio>
#include <string>
#include <vector>

#include "server/fax_document.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: qz_faxdoc OUT.tif [TEXT...]\n", stderr);
    return 2;
  }
  std::vector<std::string> rows;
  for (int i = 2; i < argc; ++i) {
    std::string text = argv[i];
    for (size_t start = 0;;) {
      size_t nl = text.find('\n', start);
      rows.push_back(text.substr(start, nl == std::string::npos ? nl : nl - start));
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }
  if (!qz::faxd::WriteFaxDocument(argv[1], 1, true, rows)) {
    std::fprintf(stderr, "qz_faxdoc: cannot write %s\n", argv[1]);
    return 1;
  }
  std::string why;
  uint32_t pages = qz::faxd::CheckFaxDocument(argv[1], &why);
  std::printf("%s: %u page%s\n", argv[1], pages, pages == 1 ? "" : "s");
  return pages ? 0 : 1;
}
