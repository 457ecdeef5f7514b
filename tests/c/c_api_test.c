/* c_api_test.c -- the public header and the library from plain C: the
 * lifecycle exports, GetLastErrorInfo and a refused server ID. Links only
 * libqzcsif.so. Prints "N passed, N failed" and exits nonzero on failure. */
#include <stdio.h>
#include <string.h>

#include "qzcsif/qzcsif.h"

static int g_passed, g_failed;

#define CHECK(cond)                                              \
  do {                                                           \
    if (cond) {                                                  \
      ++g_passed;                                                \
    } else {                                                     \
      ++g_failed;                                                \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                            \
  } while (0)

int main(void) {
  QZERRORINFO info;
  unsigned char* p;
  int i, zero;

  CHECK(sizeof(QZERRORINFO) == 132);
  CHECK(sizeof(SERVERINFO) == 1680);
  CHECK(sizeof(SESSIONKEY) == 24);

  /* The message module lies beside the library in the build tree. */
  CHECK(QZIfInitialize() == 0);
  CHECK(QZIfInitialize() == 0);

  CHECK(IsServerIDValid(0) == 0);
  CHECK(IsServerIDValid(1) == 0);
  CHECK(IsServerIDValid(0xFFFFFFFFu) == 0);

  CHECK(RDMemAlloc(0) == NULL);
  p = (unsigned char*)RDMemAlloc(256);
  CHECK(p != NULL);
  zero = 1;
  for (i = 0; p != NULL && i < 256; ++i) zero = zero && p[i] == 0;
  CHECK(zero);
  CHECK(RDMemFree(p) != 0);
  CHECK(RDMemFree(NULL) == 0);

  CHECK(GetLastErrorInfo(NULL) == 0);
  memset(&info, 0x77, sizeof info);
  CHECK(GetLastErrorInfo(&info) == 0);
  CHECK(info.dwErrorCode == 0);
  CHECK(info.szErrorInfo[0] == '\0');

  CHECK(QZIfUninitialize() == 0);
  CHECK(QZIfUninitialize() == 0);
  CHECK(IsServerIDValid(1) == 0);

  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
