// admin_cmd.cc -- "qzfax log", "config", "reports" and "server": the logs,
// the server's configuration, reports over the fax history and their
// templates, and the fax service itself (start, stop, backup, capabilities).
//
// Thread-safety: single-threaded, as the command line is.
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>

#include "commands.h"
#include "folders.h"
#include "frame.h"

namespace qzfax {
namespace {

void AddLog(CLI::App& root) {
  CLI::App* log = Group(root, "log", "The server's user log and system log");
  static std::string where;
  static bool remove = false;
  CLI::App* user = Command(*log, "user", "Calls the server recorded (or --delete them)", [] {
    Session s;
    if (remove) {
      Check(RemoteDelUserLog(s.id(), where.c_str()), "deleting user log entries (RemoteDelUserLog)");
      Done("user log entries deleted", {{"where", where}});
      return;
    }
    Block<USERLOG_TABLE> list;
    Check(RemoteQueryUserLog(s.id(), where.c_str(), list.out(), &list.n),
          "reading the user log (RemoteQueryUserLog)");
    json rows = json::array();
    for (const USERLOG_TABLE& e : list)
      rows.push_back({{"id", e.dwLogID}, {"time", Time(e.dwTime)}, {"user", Text(e.szUserID)},
                      {"session", e.dwSessionNo}, {"opnum", e.dwOpnum}, {"procedure", Text(e.szProcedure)},
                      {"result", Hex(static_cast<uint32_t>(e.lResult))}, {"detail", Text(e.szDetail)}});
    Emit("entries", rows, {{"id", "ID"}, {"time", "TIME"}, {"user", "USER"}, {"procedure", "PROCEDURE"},
                           {"result", "RESULT"}, {"detail", "DETAIL"}});
  });
  user->add_option("-w,--where", where,
                   "Condition: terms field=value separated by ; (user, session, op, proc, result, since, until, after)");
  user->add_flag("--delete", remove, "Delete the entries the condition selects");

  CLI::App* system = Command(*log, "system", "Events of the fax service (or --delete them)", [] {
    Session s;
    if (remove) {
      Check(RemoteDelSysLog(s.id(), where.c_str()), "deleting system log entries (RemoteDelSysLog)");
      Done("system log entries deleted", {{"where", where}});
      return;
    }
    Block<SYSLOG_TABLE> list;
    Check(RemoteQuerySysLog(s.id(), where.c_str(), list.out(), &list.n),
          "reading the system log (RemoteQuerySysLog)");
    static const char* const kLevels[] = {"info", "warning", "error"};
    json rows = json::array();
    for (const SYSLOG_TABLE& e : list)
      rows.push_back({{"id", e.dwLogID}, {"time", Time(e.dwTime)},
                      {"level", e.dwLevel < 3 ? kLevels[e.dwLevel] : "?"}, {"source", Text(e.szSource)},
                      {"user", Text(e.szUserID)}, {"text", Text(e.szText)}});
    Emit("entries", rows, {{"id", "ID"}, {"time", "TIME"}, {"level", "LEVEL"}, {"source", "SOURCE"},
                           {"user", "USER"}, {"text", "TEXT"}});
  });
  system->add_option("-w,--where", where, "Condition (fields id, time, since, until, level, source, user_id)");
  system->add_flag("--delete", remove, "Delete the entries the condition selects");

  static std::string backup_where;
  Command(*log, "backup", "Write the system log entries the condition selects to a file of the server", [] {
    std::vector<char> value(backup_where.begin(), backup_where.end());
    value.push_back('\0');
    uint32_t size = static_cast<uint32_t>(value.size());
    Session s;
    // Setting the text value SysLogBackup makes the server write the backup;
    // it answers only a status and names the file in its system log.
    Check(RemoteAccessConfig(s.id(), 1, "SysLogBackup", 0, value.data(), &size),
          "backing up the system log (RemoteAccessConfig SysLogBackup)");
    SERVERINFO info{};
    Check(GetServerInfo(s.id(), &info), "reading the server information (GetServerInfo)");
    Block<SYSLOG_TABLE> list;
    Check(RemoteQuerySysLog(s.id(), ("source=configuration;user_id=" + Text(info.UserInfo.szUserID)).c_str(),
                            list.out(), &list.n),
          "reading the system log (RemoteQuerySysLog)");
    // The newest "system log backup: <n> entries to <path>" entry is this one.
    const std::string kPrefix = "system log backup: ", kTo = " entries to ";
    json done{{"where", backup_where}, {"entries", nullptr}, {"file", nullptr}};
    for (const SYSLOG_TABLE& e : list) {
      const std::string text = Text(e.szText);
      const size_t to = text.find(kTo);
      if (text.rfind(kPrefix, 0) != 0 || to == std::string::npos) continue;
      done["entries"] = std::strtoul(text.c_str() + kPrefix.size(), nullptr, 10);
      done["file"] = text.substr(to + kTo.size());
    }
    Done(done["file"].is_null() ? std::string("system log backed up (the server did not say where)")
                                : "system log backup: " + done["entries"].dump() + " entries written to " +
                                      done["file"].get<std::string>(),
         done);
  })->add_option("-w,--where", backup_where,
                 "Condition selecting the entries (fields id, time, since, until, level, source, user_id); "
                 "default: all");
}

// A named configuration value: section, offset, and its kind.
enum class Kind { kText, kNumber, kShort };
struct ConfigField {
  uint32_t section;
  uint32_t offset;
  Kind kind;
  uint32_t size;  // text: field width
};

const std::map<std::string, ConfigField>& ConfigFields() {
  static const std::map<std::string, ConfigField> fields = {
      {"ServerName", {0, 0, Kind::kText, 64}},      {"StationID", {0, 64, Kind::kText, 32}},
      {"CountryCode", {0, 96, Kind::kText, 8}},     {"AreaCode", {0, 104, Kind::kText, 8}},
      {"Organization", {0, 112, Kind::kText, 128}}, {"AdminMail", {0, 240, Kind::kText, 128}},
      {"Retries", {1, 0, Kind::kNumber, 4}},        {"RetryInterval", {1, 4, Kind::kNumber, 4}},
      {"MaxPages", {1, 8, Kind::kNumber, 4}},       {"DialTimeout", {1, 12, Kind::kNumber, 4}},
      {"DefaultPriority", {1, 16, Kind::kNumber, 4}}, {"ArchiveDir", {2, 4, Kind::kText, 260}},
      {"ScriptDir", {2, 264, Kind::kText, 260}},    {"CoverPageDir", {2, 524, Kind::kText, 260}},
      {"BackupDir", {2, 784, Kind::kText, 260}},    {"MailFlags", {3, 0, Kind::kShort, 2}},
      {"MailHost", {3, 4, Kind::kText, 64}},        {"MailPort", {3, 68, Kind::kShort, 2}},
      {"MailSender", {3, 70, Kind::kText, 40}},     {"DefaultRouteKind", {4, 4, Kind::kNumber, 4}},
      {"ReceiveKeepDays", {4, 8, Kind::kNumber, 4}}, {"DefaultRouteTarget", {4, 12, Kind::kText, 64}},
      {"SysLogMaxRecords", {5, 0, Kind::kNumber, 4}}, {"HistoryMaxRecords", {5, 4, Kind::kNumber, 4}},
      {"SysLogMinLevel", {5, 8, Kind::kNumber, 4}}};
  return fields;
}

void AddConfig(CLI::App& root) {
  CLI::App* config = Group(root, "config", "The server's configuration");
  static std::string name, value;
  CLI::App* get = Command(*config, "get", "Show every named value, or the one named", [] {
    if (!name.empty() && !ConfigFields().count(name)) Usage("unknown configuration name \"" + name + "\"");
    Session s;
    std::vector<uint8_t> all(QZ_CONFIG_SECTION6_SIZE);
    uint32_t size = static_cast<uint32_t>(all.size());
    Check(RemoteGetSystemConfig(s.id(), 6, all.data(), &size), "reading the configuration (RemoteGetSystemConfig)");
    static const uint32_t kSectionAt[] = {0, 1560, 1584, 2628, 2740, 2904};
    json out = json::object();
    for (const auto& [n, f] : ConfigFields()) {
      if (!name.empty() && n != name) continue;
      const uint8_t* at = all.data() + kSectionAt[f.section] + f.offset;
      if (f.kind == Kind::kText) {
        out[n] = std::string(reinterpret_cast<const char*>(at), strnlen(reinterpret_cast<const char*>(at), f.size));
      } else {
        uint32_t v = 0;
        std::memcpy(&v, at, f.size);
        out[n] = v;
      }
    }
    EmitObject(out);
  });
  get->add_option("name", name, "A configuration name (ServerName, Retries, ...)");

  static bool pair = false;
  CLI::App* set = Command(*config, "set", "Set a named value (--pair: a free name/value pair)", [] {
    uint32_t field_type = 0;
    std::vector<char> buf;
    uint32_t number = 0;
    if (pair) {
      QZCONFIG_STRINGPAIR p{};
      Put(p.szFirst, name, "pair name");
      Put(p.szSecond, value, "pair value");
      field_type = 2;
      buf.assign(reinterpret_cast<const char*>(&p), reinterpret_cast<const char*>(&p) + sizeof p);
    } else {
      auto it = ConfigFields().find(name);
      if (name == "SysLogBackup") Usage("SysLogBackup is not a value to keep: \"qzfax log backup\" backs up the system log");
      if (it == ConfigFields().end()) Usage("unknown configuration name \"" + name + "\" (--pair sets free pairs)");
      if (it->second.kind == Kind::kText) {
        if (value.size() >= it->second.size)
          Usage(name + " takes at most " + std::to_string(it->second.size - 1) + " characters");
        buf.assign(value.begin(), value.end());
        buf.push_back('\0');
      } else {
        try {
          size_t used = 0;
          unsigned long v = std::stoul(value, &used, 0);
          if (used != value.size() || v > 0xFFFFFFFFul) throw std::out_of_range(value);
          number = static_cast<uint32_t>(v);
        } catch (const std::exception&) {
          Usage(name + " takes a number, not \"" + value + "\"");
        }
        field_type = 1;
        buf.resize(4);
        std::memcpy(buf.data(), &number, 4);
      }
    }
    uint32_t size = static_cast<uint32_t>(buf.size());
    Session s;
    Check(RemoteAccessConfig(s.id(), 1, name.c_str(), field_type, buf.data(), &size),
          "setting " + name + " (RemoteAccessConfig)");
    Done(name + " set", {{"name", name}, {"value", value}});
  });
  set->add_option("name", name, "Configuration name (e.g. StationID, Retries, SysLogMinLevel)")->required();
  set->add_option("value", value, "New value")->required();
  set->add_flag("--pair", pair, "A free pair, e.g. printer:<name> <location>|<description>");
}

void AddReportTemplates(CLI::App& reports);

void AddReports(CLI::App& root) {
  CLI::App* reports = Group(root, "reports", "Reports over the history of sent and received faxes");
  static std::string where;
  Command(*reports, "run", "Run a report: faxes, pages and time per group", [] {
    Session s;
    Block<void> data;
    Check(RemoteQueryReport(s.id(), where.c_str(), data.out(), &data.n), "running the report (RemoteQueryReport)");
    json rows = json::array();
    json header = json::object();
    if (data.p != nullptr && data.n >= sizeof(FAXREPORTHEADER)) {
      FAXREPORTHEADER h;
      std::memcpy(&h, data.p, sizeof h);
      static const char* const kGroups[] = {"user", "department", "line", "day", "month"};
      header = {{"rows", h.dwRows}, {"group", h.dwGroupBy < 5 ? kGroups[h.dwGroupBy] : "?"}};
      for (uint32_t i = 0; i < h.dwRows && sizeof h + (i + 1) * sizeof(FAXREPORTROW) <= data.n; ++i) {
        FAXREPORTROW r;
        std::memcpy(&r, static_cast<const uint8_t*>(data.p) + sizeof h + i * sizeof r, sizeof r);
        rows.push_back({{"key", Text(r.szKey)}, {"faxes", r.dwFaxes}, {"sent", r.dwSent},
                        {"received", r.dwReceived}, {"failed", r.dwFailed}, {"pages", r.dwPages},
                        {"seconds", r.dwSeconds}});
      }
    }
    if (Global().json) {
      header["rows"] = rows;
      std::cout << json{{"report", header}}.dump(2) << "\n";
      return;
    }
    Emit("rows", rows, {{"key", "KEY"}, {"faxes", "FAXES"}, {"sent", "SENT"}, {"received", "RECEIVED"},
                        {"failed", "FAILED"}, {"pages", "PAGES"}, {"seconds", "SECONDS"}});
  })->add_option("-w,--where", where,
                 "Report condition: group=user|department|line|day|month; user, department, line, "
                 "direction (1 sent, 2 received), ok, since, until, template");
  AddReportTemplates(*reports);
}

const char* const kGroupings[] = {"user", "department", "line", "day", "month"};
const char* const kDirections[] = {"all", "sent", "received"};

uint32_t IndexOf(const char* const* names, size_t n, const std::string& name) {
  for (size_t i = 0; i < n; ++i)
    if (name == names[i]) return static_cast<uint32_t>(i);
  return 0;
}

json TemplateJson(const FAXREPORTMODEL& t) {
  return {{"id", t.dwTemplateID},
          {"folder_id", t.dwFolderID},
          {"name", Text(t.szName)},
          {"group", t.dwGroupBy < 5 ? kGroupings[t.dwGroupBy] : "?"},
          {"direction", t.dwDirection < 3 ? kDirections[t.dwDirection] : "?"},
          {"where", Text(t.szCondition)},
          {"owner", Text(t.szOwner)},
          {"created", Time(t.dwCreated)},
          {"modified", Time(t.dwModified)},
          {"description", Text(t.szDescription)}};
}

// What a template add or change sent: without the fields the server fills.
json SentTemplate(const FAXREPORTMODEL& t) {
  json j = TemplateJson(t);
  for (const char* filled : {"folder_id", "owner", "created", "modified"}) j.erase(filled);
  if (t.dwTemplateID == 0) j.erase("id");
  return j;
}

// Report templates live in a templates folder: one's own by default.
void AddReportTemplates(CLI::App& reports) {
  CLI::App* templates = Group(reports, "templates", "Report templates: a named grouping, direction and condition");
  static std::string folder = "templates";
  auto folder_option = [](CLI::App* c) { AddFolderOption(c, folder, "templates"); };
  auto the_folder = [](const Session& s) {
    return FindFolder(s, ParseFolder(folder, {QZ_KIND_TEMPLATES}), {QZ_KIND_TEMPLATES});
  };
  const std::vector<Column> columns = {{"id", "ID"}, {"name", "NAME"}, {"group", "GROUP"}, {"direction", "DIRECTION"},
                                       {"where", "CONDITION"}, {"owner", "OWNER"}, {"modified", "MODIFIED"}};
  folder_option(Command(*templates, "list", "List the templates of a folder", [the_folder, columns] {
    Session s;
    FOLDERINFO_TABLE f = the_folder(s);
    Block<FAXREPORTMODEL> list;
    Check(RemoteGetReportTemplates(s.id(), &f, list.out(), &list.n),
          "reading report templates (RemoteGetReportTemplates)");
    json rows = json::array();
    for (const FAXREPORTMODEL& t : Records(list)) rows.push_back(TemplateJson(t));
    Emit("templates", rows, columns);
  }));

  static uint32_t id = 0;
  auto one = [the_folder](const Session& s, FOLDERINFO_TABLE& f) {
    f = the_folder(s);
    Block<FAXREPORTMODEL> found;
    Check(RemoteGetReportTemplate(s.id(), &f, id, found.out(), &found.n),
          "reading the template (RemoteGetReportTemplate)");
    std::vector<FAXREPORTMODEL> t = Records(found);
    if (t.size() != 1) throw Failure(kExitNotFound, "no template " + std::to_string(id));
    return t[0];
  };
  CLI::App* show = Command(*templates, "show", "Show one template", [one] {
    Session s;
    FOLDERINFO_TABLE f{};
    EmitObject(TemplateJson(one(s, f)));
  });
  show->add_option("id", id, "Template ID")->required();
  folder_option(show);

  // Options of "add" and "set"; "set" changes only those given.
  static std::optional<std::string> name, group, direction, where, description;
  auto fill = [](FAXREPORTMODEL& t) {
    if (name) Put(t.szName, *name, "template name");
    if (group) t.dwGroupBy = IndexOf(kGroupings, 5, *group);
    if (direction) t.dwDirection = IndexOf(kDirections, 3, *direction);
    if (where) Put(t.szCondition, *where, "--where");
    if (description) Put(t.szDescription, *description, "--description");
  };
  auto template_options = [folder_option](CLI::App* c) {
    c->add_option("-g,--group", group, "Rows per user, department, line, day or month (default user)")
        ->check(CLI::IsMember({"user", "department", "line", "day", "month"}));
    c->add_option("-d,--direction", direction, "Faxes counted: all, sent or received (default all)")
        ->check(CLI::IsMember({"all", "sent", "received"}));
    c->add_option("-w,--where", where, "Report condition: user, department, line, direction, ok, since, until");
    c->add_option("--description", description, "Description");
    folder_option(c);
  };
  CLI::App* add = Command(*templates, "add", "Add a template (run it with \"reports run -w template=ID\")", [fill, the_folder] {
    FAXREPORTMODEL t{};
    fill(t);
    Session s;
    FOLDERINFO_TABLE f = the_folder(s);
    Check(RemoteNewReportTemplate(s.id(), &f, &t, 1), "adding the template (RemoteNewReportTemplate)");
    Done("report template " + *name + " added", SentTemplate(t));
  });
  add->add_option("name", name, "Name, at most 63 characters")->required();
  template_options(add);

  CLI::App* set = Command(*templates, "set", "Change a template", [one, fill] {
    FAXREPORTMODEL checked{};
    fill(checked);  // bad input is refused before anything is sent
    Session s;
    FOLDERINFO_TABLE f{};
    FAXREPORTMODEL t = one(s, f);
    fill(t);
    Check(RemoteEditReportTemplate(s.id(), &f, &t, 1), "changing the template (RemoteEditReportTemplate)");
    Done("report template " + std::to_string(id) + " changed", SentTemplate(t));
  });
  set->add_option("id", id, "Template ID")->required();
  set->add_option("-n,--name", name, "New name");
  template_options(set);

  CLI::App* del = Command(*templates, "delete", "Delete a template", [the_folder] {
    Session s;
    FOLDERINFO_TABLE f = the_folder(s);
    Check(RemoteDeleteReportTemplate(s.id(), &f, id), "deleting the template (RemoteDeleteReportTemplate)");
    Done("report template " + std::to_string(id) + " deleted", {{"id", id}});
  });
  del->add_option("id", id, "Template ID")->required();
  folder_option(del);
}

void AddServer(CLI::App& root) {
  CLI::App* server = Group(root, "server", "The fax service: start, stop, backup, capabilities");
  static std::string host, user = "admin", password;
  static bool paused = false;
  CLI::App* start = Command(*server, "start", "Start the fax service (administrators)", [] {
    const std::string& h = host.empty() ? Global().server : host;
    // ServerStart's commands: 0 runs the service, 1 runs it paused.
    Check(ServerStart(h.c_str(), user.c_str(), password.c_str(), paused ? 1 : 0), "starting the service (ServerStart)", 0);
    Done(paused ? "fax service started, paused" : "fax service started", {{"host", h}, {"paused", paused}});
  });
  start->add_option("host", host, "Host of the fax server (default: --server)");
  start->add_option("-u,--user", user, "Administrator")->capture_default_str();
  start->add_option("--password", password, "The administrator's password");
  start->add_flag("--paused", paused, "Accept jobs but send nothing");

  static std::string mode = "now";
  CLI::App* stop = Command(*server, "stop", "Stop the fax service (administrators)", [] {
    // ServerStop's commands: 3 stops at once, 2 after the attempts in
    // progress, 6 drains (sends the queue, then stops).
    const uint32_t command = mode == "now" ? 3 : mode == "after" ? 2 : 6;
    Session s;
    Check(ServerStop(s.id(), command), "stopping the service (ServerStop)", 0);
    Done("fax service stopped (" + mode + ")", {{"mode", mode}});
  });
  stop->add_option("-m,--mode", mode, "now: at once; after: after the attempts in progress; drain: send the queue first")
      ->check(CLI::IsMember({"now", "after", "drain"}))->capture_default_str();

  static std::string name, label;
  static bool files = false;
  CLI::App* backup = Command(*server, "backup", "Back up the server's database into its backup directory", [] {
    BACKUPINFO b{};
    Put(b.szName, name, "backup name");
    Put(b.szLabel, label, "--label");
    Session s;
    // Backup type 0 copies the stored files as well.
    Check(ServerBackup(s.id(), &b, files ? 0 : 1), "backing up (ServerBackup)", 0);
    Done("backup " + name + " written", {{"name", name}, {"with_files", files}});
  });
  backup->add_option("name", name, "File name of the backup (letters, digits, . _ -)")->required();
  backup->add_option("--label", label, "Free text for the server's log");
  backup->add_flag("--with-files", files, "Copy the stored documents and received faxes too");

  CLI::App* caps = Command(*server, "caps", "Read the capabilities of a fax server (over TCP)", [] {
    const std::string& h = host.empty() ? Global().server : host;
    SERVERCAPS c{};
    Check(GetServerCaps(h.c_str(), user.c_str(), &c), "reading the capabilities (GetServerCaps)", 0);
    EmitObject({{"host", Text(c.szHostName)}, {"server", Text(c.szServerName)},
                {"version", Text(c.szVersion)}, {"version_number", Hex(c.dwVersion)},
                {"flags", Hex(c.dwFlags)}, {"active_sessions", c.dwActiveSessions},
                {"started", Time(c.dwStartTime)}, {"now", Time(c.dwNow)}});
  });
  caps->add_option("host", host, "Host of the fax server (default: --server)");
}

}  // namespace

void AddAdminCommands(CLI::App& root) {
  AddLog(root);
  AddConfig(root);
  AddReports(root);
  AddServer(root);
}

}  // namespace qzfax
