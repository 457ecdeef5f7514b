/* trace_client.c -- makes a fixed set of library calls against a running
 * qzfaxd so that the trace tests have a real call trace log: successes with
 * record blocks, refusals with a return entry (a bad folder kind, a stale
 * server ID), a call without a return entry. Prints one line per call:
 * "<export> <status as 8 hex digits> <dwServerID passed>". */
#include <stdio.h>

#include "qzcsif/qzcsif.h"

static void Report(const char* name, uint32_t status, uint32_t id) {
  printf("%s %08x %u\n", name, (unsigned)status, (unsigned)id);
}

int main(void) {
  uint32_t id = 0, n = 0;
  QZIfInitialize();
  uint32_t st = LogInServer(&id);
  Report("LogInServer", st, 0);
  if (st != QZ_OK) return 1;

  SERVERINFO info;
  Report("GetServerInfo", GetServerInfo(id, &info), id);

  FOLDERINFO_TABLE* folders = NULL;
  Report("RemoteGetFolders", RemoteGetFolders(id, 1, &folders, &n), id);
  RDMemFree(folders);
  folders = NULL;
  Report("RemoteGetFolders", RemoteGetFolders(id, 99, &folders, &n), id);
  RDMemFree(folders);
  folders = NULL;
  Report("RemoteGetFolders", RemoteGetFolders(id + 7, 1, &folders, &n), id + 7);
  RDMemFree(folders);

  PORTINFO_TABLE* ports = NULL;
  Report("RemoteGetPortList", RemoteGetPortList(id, "", &ports, &n), id);
  RDMemFree(ports);

  /* The user log holds the calls above by now. */
  USERLOG_TABLE* log = NULL;
  Report("RemoteQueryUserLog", RemoteQueryUserLog(id, "", &log, &n), id);
  RDMemFree(log);

  Report("RemoteChangePassword", RemoteChangePassword(id, "not the password", "x"), id);

  QZIfUninitialize();
  return 0;
}
