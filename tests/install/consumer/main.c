/* main.c -- a program outside the project using the installed libqzcsif:
 * initialise, make calls that need no server (an unknown server ID; a
 * service start without a host) and read the error record of the second,
 * whose text comes from the installed message module. Prints the statuses
 * and the text; exits 0 when all are as expected. */
#include <qzcsif/qzcsif.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  SERVERINFO si;
  QZERRORINFO info;
  uint32_t st;
  uint32_t start;
  static const char kText[] =
      "An argument is invalid: a required value is missing, zero or empty, or a command is out "
      "of range.";

  if (QZIfInitialize() != 0) {
    fprintf(stderr, "QZIfInitialize failed\n");
    return 1;
  }
  st = GetServerInfo(12345, &si);
  start = ServerStart(NULL, "admin", "", 0);
  memset(&info, 0, sizeof info);
  GetLastErrorInfo(&info);
  printf("GetServerInfo 0x%08X, ServerStart 0x%08X: 0x%08X %s\n", (unsigned)st,
         (unsigned)start, (unsigned)info.dwErrorCode, info.szErrorInfo);
  QZIfUninitialize();
  return st == QZ_E_BADSERVERID && start == QZ_E_INVALIDARG &&
                 info.dwErrorCode == QZ_E_INVALIDARG && strcmp(info.szErrorInfo, kText) == 0
             ? 0
             : 1;
}
