/* login_client.c -- a minimal client run by the end-to-end tests as
 * another OS user: logs in through the library, prints the status, the
 * user the server mapped it to and the protocol sequence of the login, and
 * logs out. One line on stdout: "login=<hex> user=<id>". */
#include <stdio.h>
#include <string.h>

#include "qzcsif/qzcsif.h"

int main(void) {
  uint32_t id = 0;
  SERVERINFO info;
  memset(&info, 0, sizeof info);
  QZIfInitialize();
  uint32_t st = LogInServer(&id);
  if (st == 1) GetServerInfo(id, &info);
  printf("login=%08x user=%s\n", (unsigned)st, info.UserInfo.szUserID);
  fflush(stdout);
  QZIfUninitialize();
  return st == 1 ? 0 : 1;
}
