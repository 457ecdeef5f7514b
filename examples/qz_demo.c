/*
 * qz_demo.c -- a small client of the qzcsif library.
 *
 * Logs in to the fax server on this computer, prints the server
 * information and the user's rights, asks the server to synchronise, reads
 * the user log, sends the fax document named on the command line (if any)
 * through the server's send queue to the server's own second line and
 * follows it until it arrives, and ends the session by uninitialising the
 * library (which logs out). Every step goes through the public C interface
 * only.
 */
#include <qzcsif/qzcsif.h>

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

static const char* TaskState(uint32_t state) {
  static const char* const names[] = {"unknown", "queued", "held", "locked",
                                      "sending", "done", "failed", "stopped"};
  return state < 8 ? names[state] : "?";
}

/* Sends `document` to 8002 (the number of the server's second simulated
   line) and follows the task until it is finished. */
static void SendDemoFax(uint32_t id, const char* document) {
  FAXJOB_TABLE job;
  memset(&job, 0, sizeof job);
  job.dwSize = sizeof job;
  job.dwPriority = 5;
  strcpy(job.szRecipientNumber, "8002");
  strcpy(job.szRecipientName, "the demo's own line");
  strcpy(job.szSubject, "a fax through the queue");
  strncpy(job.szDocumentPath, document, sizeof job.szDocumentPath - 1);
  SENDRESULT_TABLE result;
  if (!Check("RemoteSendFax", RemoteSendFax(id, &job, 1, &result))) return;
  printf("  fax %u: %s, %u pages\n", (unsigned)result.dwFaxID, result.szDetail,
         (unsigned)result.dwPages);
  uint32_t fax = result.dwFaxID, last = 0, last_pages = 0;
  for (int i = 0; i < 100; ++i) {
    TASKINFO* info = NULL;
    uint32_t count = 0;
    if (RemoteGetTaskProgress(id, &fax, 1, &info, &count) != QZ_OK || count != 1) break;
    uint32_t state = info[0].dwState, pages = info[0].dwPagesDone;
    if (state != last || pages != last_pages)
      printf("  progress: %-8s %u of %u pages\n", TaskState(state), (unsigned)pages,
             (unsigned)info[0].dwPagesTotal);
    RDMemFree(info);
    last = state;
    last_pages = pages;
    if (state == QZ_TASK_DONE || state == QZ_TASK_FAILED || state == QZ_TASK_STOPPED) break;
    usleep(100 * 1000);
  }
  SENDTASK_TABLE* task = NULL;
  uint32_t count = 0;
  if (Check("RemoteViewSendTask", RemoteViewSendTask(id, 1, fax, &task, &count)) && count == 1)
    printf("  fax %u to %s: %s after %u attempt(s), %s; received as receive task %u\n",
           (unsigned)task->dwFaxID, task->szRecipientNumber, TaskState(task->dwState),
           (unsigned)task->dwAttempts, task->szLastError, (unsigned)task->dwRecvID);
  RDMemFree(task);
}

int main(int argc, char** argv) {
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

  if (argc > 1) SendDemoFax(id, argv[1]);

  /* Ending the library releases the session, which logs out. */
  printf("%-28s -> %u\n", "QZIfUninitialize", (unsigned)QZIfUninitialize());
  printf("%-28s -> %u (the old ID is refused)\n", "IsServerIDValid(id)",
         (unsigned)IsServerIDValid(id));
  return 0;
}
