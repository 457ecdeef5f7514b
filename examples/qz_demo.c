/*
 * qz_demo.c -- a small client of the qzcsif library.
 *
 * Logs in to the fax server on this computer, prints the server
 * information and the user's rights, asks the server to synchronise, reads
 * the user log and ends the session by uninitialising the library (which
 * logs out). Every step goes through the public C interface only.
 */
#include <qzcsif/qzcsif.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

static const char* StatusName(uint32_t status) {
  switch (status) {
    case QZ_OK: return "ok";
    case QZ_E_BADSERVERID: return "QZ_E_BADSERVERID";
    case QZ_E_ACCESSDENIED: return "QZ_E_ACCESSDENIED";
    case QZ_E_ALREADYLOGGEDIN: return "QZ_E_ALREADYLOGGEDIN";
    case 1722: return "server unavailable";
    case 0x800706BAu: return "no endpoint mapper answers";
    case 0x800706D9u: return "the fax server is not registered";
    default: return "failed";
  }
}

static int Check(const char* what, uint32_t status) {
  printf("%-28s -> 0x%08x (%s)\n", what, (unsigned)status, StatusName(status));
  return status == QZ_OK;
}

int main(void) {
  uint32_t status = QZIfInitialize();
  printf("%-28s -> %u\n", "QZIfInitialize", (unsigned)status);

  printf("%-28s -> %u (no session yet)\n", "IsServerIDValid(12345)",
         (unsigned)IsServerIDValid(12345));

  uint32_t id = 0;
  if (!Check("LogInServer", LogInServer(&id))) {
    QZIfUninitialize();
    return 1;
  }
  printf("  server ID %u, valid: %u\n", (unsigned)id, (unsigned)IsServerIDValid(id));

  SERVERINFO info;
  memset(&info, 0, sizeof info);
  if (Check("GetServerInfo", GetServerInfo(id, &info))) {
    printf("  host        %s\n", info.szHostName);
    printf("  session     %d\n", (int)info.dwSessionNo);
    printf("  user        %s (%s)\n", info.UserInfo.szUserID, info.UserInfo.szUserName);
    printf("  rights      %08x %08x %08x %08x\n", (unsigned)info.UserInfo.dwRights[0],
           (unsigned)info.UserInfo.dwRights[1], (unsigned)info.UserInfo.dwRights[2],
           (unsigned)info.UserInfo.dwRights[3]);
  }

  Check("RemoteSychronizeFromServer", RemoteSychronizeFromServer(id));
  Check("RemoteSychronizeToServer", RemoteSychronizeToServer(id));

  USERLOG_TABLE* log = NULL;
  uint32_t count = 0;
  if (Check("RemoteQueryUserLog", RemoteQueryUserLog(id, "", &log, &count))) {
    printf("  %u entries in the user log\n", (unsigned)count);
    for (uint32_t i = 0; i < count; ++i) {
      time_t when = (time_t)log[i].dwTime;
      char stamp[32];
      strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&when));
      printf("  #%-4u %s %-8s session %-4d %-28s -> %d\n", (unsigned)log[i].dwLogID, stamp,
             log[i].szUserID, (int)log[i].dwSessionNo, log[i].szProcedure, (int)log[i].lResult);
    }
    RDMemFree(log);
  }

  /* Ending the library releases the session, which logs out. */
  printf("%-28s -> %u\n", "QZIfUninitialize", (unsigned)QZIfUninitialize());
  printf("%-28s -> %u (the old ID is refused)\n", "IsServerIDValid(id)",
         (unsigned)IsServerIDValid(id));
  return 0;
}
