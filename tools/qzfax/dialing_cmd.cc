// dialing_cmd.cc -- the administrator's commands on how lines dial and
// answer: "qzfax prefixes" (outside-line, local-area and internal
// prefixes), "limits" (which numbers a line may dial at what time of day)
// and "autorecv" (automatic reception entries and their history).
//
// Thread-safety: single-threaded, as the command line is.
#include <cstdio>

#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

// The write commands of these tables: 0 adds, 1 changes, 2 deletes the
// records named, 3 (automatic reception) deletes the 32-bit IDs sent.
constexpr uint32_t kAdd = 0;
constexpr uint32_t kDeleteRecords = 2;
constexpr uint32_t kDeleteIds = 3;

const char* const kPrefixKinds[] = {"outside", "local", "internal"};

void AddPrefixes(CLI::App& root) {
  CLI::App* prefixes = Group(root, "prefixes", "Dialling prefixes: outside line, local area, internal numbers");
  static std::string where;
  Command(*prefixes, "list", "List the prefix table", [] {
    Session s;
    Block<PREFIXINFO_TABLE> list;
    Check(RemoteGetPrefixTable(s.id(), where.c_str(), list.out(), &list.n),
          "reading the prefix table (RemoteGetPrefixTable)");
    json rows = json::array();
    for (const PREFIXINFO_TABLE& p : Prefixed<PREFIXINFO_TABLE>(list.p, list.n))
      rows.push_back({{"id", p.dwPrefixID}, {"kind", p.dwKind < 3 ? kPrefixKinds[p.dwKind] : "?"},
                      {"prefix", Text(p.szPrefix)}, {"description", Text(p.szDescription)}});
    Emit("prefixes", rows, {{"id", "ID"}, {"kind", "KIND"}, {"prefix", "PREFIX"}, {"description", "DESCRIPTION"}});
  })->add_option("-w,--where", where, "Condition (fields id, kind, prefix, description)");

  static std::string kind = "outside", prefix, description;
  CLI::App* add = Command(*prefixes, "add", "Add a prefix", [] {
    PREFIXINFO_TABLE p{};
    p.dwLength = sizeof p;
    p.dwKind = kind == "outside" ? QZ_PREFIX_OUTSIDE_LINE : kind == "local" ? QZ_PREFIX_LOCAL_AREA : QZ_PREFIX_INTERNAL;
    Put(p.szPrefix, prefix, "prefix");
    Put(p.szDescription, description, "--description");
    Session s;
    Check(RemotePrefixTableOP(s.id(), kAdd, &p, 1), "adding the prefix (RemotePrefixTableOP)");
    Done(kind + " prefix " + prefix + " added", {{"kind", kind}, {"prefix", prefix}});
  });
  add->add_option("prefix", prefix, "The digits")->required();
  add->add_option("-k,--kind", kind,
                  "outside: dialled before every number that is not internal; local: removed from the "
                  "front of a number; internal: numbers beginning with it get no outside prefix")
      ->check(CLI::IsMember({"outside", "local", "internal"}))->capture_default_str();
  add->add_option("--description", description, "Description");

  static uint32_t id = 0;
  Command(*prefixes, "delete", "Delete a prefix", [] {
    PREFIXINFO_TABLE p{};
    p.dwLength = sizeof p;
    p.dwPrefixID = id;
    Session s;
    Check(RemotePrefixTableOP(s.id(), kDeleteRecords, &p, 1), "deleting the prefix (RemotePrefixTableOP)");
    Done("prefix " + std::to_string(id) + " deleted", {{"id", id}});
  })->add_option("id", id, "Prefix ID")->required();
}

// "HH:MM" as minutes of the day; `last` is the latest value taken (23:59 for
// the start of a window, 24:00 for its end).
uint32_t Minute(const std::string& text, const char* what, uint32_t last) {
  unsigned h = 0, m = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%2u:%2u%c", &h, &m, &end) != 2 || h > 24 || m > 59 || h * 60 + m > last)
    Usage(std::string(what) + " takes a time of day HH:MM from 00:00 to " +
          (last == 1440 ? "24:00" : "23:59") + ", not \"" + text + "\"");
  return h * 60 + m;
}

std::string Clock(uint32_t minute) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u:%02u", minute / 60, minute % 60);
  return buf;
}

void AddLimits(CLI::App& root) {
  CLI::App* limits = Group(root, "limits", "Line limitation rules: which numbers a line may dial at what time (UTC)");
  static std::string where;
  Command(*limits, "list", "List the limitation rules", [] {
    Session s;
    Block<LINECHECK_TABLE> list;
    Check(RemoteGetPortLimited(s.id(), 0, where.c_str(), list.out(), &list.n),
          "reading the limitation rules (RemoteGetPortLimited)");
    json rows = json::array();
    for (const LINECHECK_TABLE& r : Records(list))
      rows.push_back({{"id", r.dwRuleID}, {"line", r.dwPortID},
                      {"action", r.dwAction == QZ_LINECHECK_ALLOW ? "allow" : "deny"},
                      {"from", Clock(r.dwFromMinute)}, {"to", Clock(r.dwToMinute)}, {"prefix", Text(r.szPrefix)}});
    Emit("limits", rows, {{"id", "ID"}, {"line", "LINE"}, {"action", "ACTION"}, {"from", "FROM"}, {"to", "TO"},
                          {"prefix", "PREFIX"}});
  })->add_option("-w,--where", where, "Condition (fields id, port_id, action, from_minute, to_minute, prefix)");

  static std::string action = "deny", from = "00:00", to = "00:00", prefix;
  static uint32_t line = 0;
  CLI::App* add = Command(*limits, "add", "Add a limitation rule", [] {
    LINECHECK_TABLE r{};
    r.dwPortID = line;
    r.dwAction = action == "allow" ? QZ_LINECHECK_ALLOW : QZ_LINECHECK_DENY;
    r.dwFromMinute = Minute(from, "--from", 1439);
    r.dwToMinute = Minute(to, "--to", 1440);
    Put(r.szPrefix, prefix, "--prefix");
    Session s;
    Check(RemotePortLimitedOP(s.id(), kAdd, &r, 1), "adding the limitation rule (RemotePortLimitedOP)");
    Done("limitation rule added: " + action + " " + (prefix.empty() ? "every number" : prefix + "...") + " " +
             Clock(r.dwFromMinute) + "-" + Clock(r.dwToMinute),
         {{"line", line}, {"action", action}, {"from", Clock(r.dwFromMinute)}, {"to", Clock(r.dwToMinute)},
          {"prefix", prefix}});
  });
  add->add_option("-a,--action", action, "deny: such numbers are not dialled; allow: only such numbers are")
      ->check(CLI::IsMember({"deny", "allow"}))->capture_default_str();
  add->add_option("-p,--prefix", prefix, "Numbers beginning with this (empty: every number)");
  add->add_option("--from", from, "Start of the window, HH:MM (UTC)")->capture_default_str();
  add->add_option("--to", to, "End of the window, HH:MM up to 24:00, not included; equal to --from: all day")
      ->capture_default_str();
  add->add_option("--line", line, "Line ID (0: every line)");

  static uint32_t id = 0;
  Command(*limits, "delete", "Delete a limitation rule", [] {
    LINECHECK_TABLE r{};
    r.dwRuleID = id;
    Session s;
    Check(RemotePortLimitedOP(s.id(), kDeleteRecords, &r, 1), "deleting the limitation rule (RemotePortLimitedOP)");
    Done("limitation rule " + std::to_string(id) + " deleted", {{"id", id}});
  })->add_option("id", id, "Rule ID")->required();
}

void AddAutoRecv(CLI::App& root) {
  CLI::App* autorecv = Group(root, "autorecv", "Automatic reception entries and the history of faxes they answered");
  static std::string where;
  Command(*autorecv, "list", "List automatic reception entries", [] {
    Session s;
    Block<FAXAUTORECVINFO_TABLE> list;
    Check(RemoteGetAutoRecvInfo(s.id(), where.c_str(), list.out(), &list.n),
          "reading automatic reception entries (RemoteGetAutoRecvInfo)");
    json rows = json::array();
    for (const FAXAUTORECVINFO_TABLE& a : Records(list))
      rows.push_back({{"id", a.dwID}, {"line", a.dwPortID}, {"enabled", a.dwEnabled == 1}, {"rings", a.dwRings},
                      {"keep_days", a.dwKeepDays}, {"number", Text(a.szNumber)}, {"name", Text(a.szName)},
                      {"description", Text(a.szDescription)}});
    Emit("entries", rows, {{"id", "ID"}, {"line", "LINE"}, {"number", "NUMBER"}, {"name", "NAME"},
                           {"rings", "RINGS"}, {"keep_days", "KEEP DAYS"}, {"enabled", "ENABLED"}});
  })->add_option("-w,--where", where, "Condition (fields id, port_id, enabled, rings, keep_days, number, name, description)");

  static std::string number, name, description;
  static uint32_t line = 0, rings = 0, keep_days = 0;
  static bool disabled = false;
  CLI::App* add = Command(*autorecv, "add", "Answer faxes automatically on a line or number", [] {
    FAXAUTORECVINFO_TABLE a{};
    a.dwPortID = line;
    a.dwEnabled = disabled ? 0 : 1;
    a.dwRings = rings;
    a.dwKeepDays = keep_days;
    Put(a.szNumber, number, "--number");
    Put(a.szName, name, "--name");
    Put(a.szDescription, description, "--description");
    Session s;
    Check(RemoteAutoRecvOP(s.id(), kAdd, &a, 1), "adding the entry (RemoteAutoRecvOP)");
    Done("automatic reception entry added", {{"line", line}, {"number", number}, {"name", name}});
  });
  add->add_option("--line", line, "Line ID (0: every line)");
  add->add_option("--number", number, "Only faxes to this number (empty: any)");
  add->add_option("-n,--name", name, "Name");
  add->add_option("--rings", rings, "Rings before answering, 0 to 20")->check(CLI::Range(0, 20));
  add->add_option("--keep-days", keep_days, "Days the history is kept (0: for ever)");
  add->add_flag("--disabled", disabled, "Store the entry switched off");
  add->add_option("--description", description, "Description");

  static std::vector<uint32_t> ids;
  Command(*autorecv, "delete", "Delete automatic reception entries", [] {
    if (ids.size() > 1024) Usage("at most 1024 IDs at once");
    Session s;
    Check(RemoteAutoRecvOP(s.id(), kDeleteIds, ids.data(), static_cast<uint32_t>(ids.size())),
          "deleting entries (RemoteAutoRecvOP)");
    Done("deleted " + std::to_string(ids.size()) + " automatic reception entr" + (ids.size() == 1 ? "y" : "ies"),
         {{"ids", ids}});
  })->add_option("ids", ids, "Entry IDs")->required()->check(CLI::Range(1u, 0xFFFFFFFFu));

  static bool remove = false;
  CLI::App* history = Command(*autorecv, "history", "Faxes answered automatically (or --delete them)", [] {
    Session s;
    if (remove) {
      Check(RemoteDelFaxAutoRecvHistor(s.id(), where.c_str()),
            "deleting history entries (RemoteDelFaxAutoRecvHistor)");
      Done("history entries deleted", {{"where", where}});
      return;
    }
    Block<AUTORECVHISTORY_TABLE> list;
    Check(RemoteGetFaxAutoRecvHistory(s.id(), where.c_str(), list.out(), &list.n),
          "reading the history (RemoteGetFaxAutoRecvHistory)");
    json rows = json::array();
    for (const AUTORECVHISTORY_TABLE& h : Records(list))
      rows.push_back({{"id", h.dwID}, {"time", Time(h.dwTime)}, {"line", h.dwPortID},
                      {"receive_task", h.dwRecvTaskID}, {"pages", h.dwPages}, {"routes", h.dwRouteCount},
                      {"line_number", Text(h.szLineNumber)}, {"sender", Text(h.szSenderNumber)},
                      {"destination", Text(h.szDestination)}});
    Emit("entries", rows, {{"id", "ID"}, {"time", "TIME"}, {"line_number", "NUMBER"}, {"sender", "FROM"},
                           {"pages", "PAGES"}, {"destination", "TO"}});
  });
  history->add_option("-w,--where", where,
                      "Condition (fields id, time, since, until, port_id, recv_task_id, pages, line_number, sender_number)");
  history->add_flag("--delete", remove, "Delete the entries the condition selects");
}

}  // namespace

void AddDialingCommands(CLI::App& root) {
  AddPrefixes(root);
  AddLimits(root);
  AddAutoRecv(root);
}

}  // namespace qzfax
