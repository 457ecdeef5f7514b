// lines_cmd.cc -- the administrator's telephony commands: "qzfax lines",
// "devices", "scripts", "dialrules", "routing", "authorization" and
// "printers".
//
// Thread-safety: single-threaded, as the command line is.
#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

const char* const kPortStates[] = {"out of service", "in service", "removed"};

json LineJson(const PORTINFO_TABLE& p) {
  return {{"id", p.dwPortID},
          {"device_id", p.dwDeviceID},
          {"state", p.dwState < 3 ? kPortStates[p.dwState] : "?"},
          {"bps", p.dwBitsPerSecond},
          {"send", (p.dwFlags & QZ_PORT_SEND) != 0},
          {"receive", (p.dwFlags & QZ_PORT_RECEIVE) != 0},
          {"number", Text(p.szNumber)},
          {"name", Text(p.szName)}};
}

std::vector<PORTINFO_TABLE> Lines(const Session& s, const std::string& where) {
  Block<PORTINFO_TABLE> list;
  Check(RemoteGetPortList(s.id(), where.c_str(), list.out(), &list.n),
        "reading the lines (RemoteGetPortList)");
  return Records(list);
}

void AddLines(CLI::App& root) {
  CLI::App* lines = Group(root, "lines", "Fax lines: list, live status, add, take in and out of service");
  static std::string where;
  Command(*lines, "list", "List the configured lines", [] {
    Session s;
    json rows = json::array();
    for (const PORTINFO_TABLE& p : Lines(s, where)) rows.push_back(LineJson(p));
    Emit("lines", rows, {{"id", "ID"}, {"number", "NUMBER"}, {"name", "NAME"}, {"state", "STATE"},
                         {"bps", "BPS"}, {"device_id", "DEVICE"}, {"send", "SEND"}, {"receive", "RECEIVE"}});
  })->add_option("-w,--where", where, "Condition (fields id, device_id, state, bps, flags, number, name)");
  Command(*lines, "status", "What every line does right now", [] {
    Session s;
    Block<PORT_CURRENT_STATUS> list;
    Check(RemoteGetPortRealInfo(s.id(), list.out(), &list.n), "reading line status (RemoteGetPortRealInfo)");
    json rows = json::array();
    static const char* const kStates[] = {"out of service", "idle", "busy"};
    for (const PORT_CURRENT_STATUS& p : Records(list))
      rows.push_back({{"id", p.dwPortID}, {"state", p.dwState < 3 ? kStates[p.dwState] : "?"},
                      {"since", Time(p.dwSince)}, {"number", Text(p.szNumber)},
                      {"activity", Text(p.szActivity)}});
    Emit("lines", rows, {{"id", "ID"}, {"number", "NUMBER"}, {"state", "STATE"}, {"since", "SINCE"},
                         {"activity", "ACTIVITY"}});
  });
  static std::string number, name;
  static uint32_t bps = 0, device = 0;
  static bool no_send = false, no_receive = false;
  CLI::App* add = Command(*lines, "add", "Add a line (in service)", [] {
    PORTINFO_TABLE p{};
    p.dwState = QZ_PORT_IN_SERVICE;
    p.dwBitsPerSecond = bps;
    p.dwDeviceID = device;
    p.dwFlags = (no_send ? 0 : QZ_PORT_SEND) | (no_receive ? 0 : QZ_PORT_RECEIVE);
    Put(p.szNumber, number, "--number");
    Put(p.szName, name, "--name");
    Session s;
    Check(RemoteSetPortStatus(s.id(), &p, 1), "adding the line (RemoteSetPortStatus)");
    Done("line " + number + " added", LineJson(p));
  });
  add->add_option("number", number, "The line's own number")->required();
  add->add_option("-n,--name", name, "Name");
  add->add_option("--bps", bps, "Speed, 2400 to 33600 (default 14400)");
  add->add_option("--device", device, "Device ID");
  add->add_flag("--no-send", no_send, "The line does not send");
  add->add_flag("--no-receive", no_receive, "The line does not receive");

  static uint32_t id = 0;
  for (auto [cmd, state, help] : {std::tuple<const char*, uint32_t, const char*>{"start", QZ_PORT_IN_SERVICE, "Put a line in service"},
                                  {"stop", QZ_PORT_OUT_OF_SERVICE, "Take a line out of service"},
                                  {"remove", QZ_PORT_REMOVE, "Remove a line"}}) {
    Command(*lines, cmd, help, [state = state] {
      Session s;
      std::vector<PORTINFO_TABLE> found = Lines(s, "id=" + std::to_string(id));
      if (found.empty()) throw Failure(kExitNotFound, "no line " + std::to_string(id));
      found[0].dwState = state;
      if (state == QZ_PORT_OUT_OF_SERVICE)
        Check(RemoteStopLine(s.id(), found.data(), 1), "stopping the line (RemoteStopLine)");
      else
        Check(RemoteSetPortStatus(s.id(), found.data(), 1), "changing the line (RemoteSetPortStatus)");
      Done("line " + std::to_string(id) + ": " + kPortStates[state], LineJson(found[0]));
    })->add_option("id", id, "Line ID")->required();
  }
}

void AddDevices(CLI::App& root) {
  CLI::App* devices = Group(root, "devices", "Fax devices (modems or boards carrying lines)");
  auto json_of = [](const DEVICEINFO_TABLE& d) {
    return json{{"id", d.dwDeviceID}, {"name", Text(d.szName)}, {"model", Text(d.szModel)},
                {"lines", d.dwLines}, {"enabled", (d.dwFlags & QZ_DEVICE_ENABLED) != 0}};
  };
  Command(*devices, "list", "List devices", [json_of] {
    Session s;
    Block<DEVICEINFO_TABLE> list;
    Check(RemoteGetDeviceInfo(s.id(), "", list.out(), &list.n), "reading devices (RemoteGetDeviceInfo)");
    json rows = json::array();
    for (const DEVICEINFO_TABLE& d : Records(list)) rows.push_back(json_of(d));
    Emit("devices", rows, {{"id", "ID"}, {"name", "NAME"}, {"model", "MODEL"}, {"lines", "LINES"}, {"enabled", "ENABLED"}});
  });
  static std::string name, model;
  CLI::App* add = Command(*devices, "add", "Add a device", [json_of] {
    DEVICEINFO_TABLE d{};
    d.dwFlags = QZ_DEVICE_ENABLED;
    Put(d.szName, name, "device name");
    Put(d.szModel, model, "--model");
    Session s;
    Check(RemoteDeviceOP(s.id(), 0, &d, sizeof d), "adding the device (RemoteDeviceOP)");
    Done("device " + name + " added", json_of(d));
  });
  add->add_option("name", name, "Name")->required();
  add->add_option("-m,--model", model, "Model");
  static uint32_t id = 0;
  Command(*devices, "delete", "Delete a device", [] {
    DEVICEINFO_TABLE d{};
    d.dwDeviceID = id;
    Session s;
    Check(RemoteDeviceOP(s.id(), 2, &d, sizeof d), "deleting the device (RemoteDeviceOP)");
    Done("device " + std::to_string(id) + " deleted", {{"id", id}});
  })->add_option("id", id, "Device ID")->required();
}

void AddScripts(CLI::App& root) {
  CLI::App* scripts = Group(root, "scripts", "Script files of the server");
  Command(*scripts, "list", "List scripts", [] {
    Session s;
    Block<SCRIPTINFO> list;
    Check(RemoteGetScripts(s.id(), list.out(), &list.n), "reading scripts (RemoteGetScripts)");
    json rows = json::array();
    for (const SCRIPTINFO& sc : Prefixed<SCRIPTINFO>(list.p, list.n))
      rows.push_back({{"id", sc.dwScriptID}, {"name", Text(sc.szName)}, {"bytes", sc.dwSize},
                      {"modified", Time(sc.dwModified)}, {"description", Text(sc.szDescription)}});
    Emit("scripts", rows, {{"id", "ID"}, {"name", "NAME"}, {"bytes", "BYTES"}, {"modified", "MODIFIED"},
                           {"description", "DESCRIPTION"}});
  });
  static std::string name, file, description;
  CLI::App* add = Command(*scripts, "add", "Store a local file as a script of the server", [] {
    std::string text = ReadFile(file);
    if (text.size() > 65536) Usage(file + " is larger than 65536 bytes");
    SCRIPTINFO sc{};
    Put(sc.szName, name, "script name");
    Put(sc.szDescription, description, "--description");
    sc.dwLength = static_cast<uint32_t>(sizeof sc + text.size());
    std::string block(reinterpret_cast<const char*>(&sc), sizeof sc);
    block += text;
    Session s;
    Check(RemoteScriptFileOP(s.id(), 1, block.data(), 1), "storing the script (RemoteScriptFileOP)");
    Done("script " + name + " stored (" + std::to_string(text.size()) + " bytes)",
         {{"name", name}, {"bytes", text.size()}});
  });
  add->add_option("name", name, "Script name (letters, digits, . _ -)")->required();
  add->add_option("file", file, "Local file with the script's text")->required()->check(CLI::ExistingFile);
  add->add_option("--description", description, "Description");
  static std::vector<uint32_t> ids;
  Command(*scripts, "delete", "Delete scripts and their files", [] {
    Session s;
    Check(RemoteScriptFileOP(s.id(), 3, ids.data(), static_cast<uint32_t>(ids.size())),
          "deleting scripts (RemoteScriptFileOP)");
    Done("deleted " + std::to_string(ids.size()) + " script(s)", {{"ids", ids}});
  })->add_option("ids", ids, "Script IDs")->required();
}

void AddDialRules(CLI::App& root) {
  CLI::App* rules = Group(root, "dialrules", "Dial rules: how numbers are rewritten before dialling");
  static std::string where;
  Command(*rules, "list", "List dial rules", [] {
    Session s;
    Block<DIALRULE_TABLE> list;
    Check(RemoteGetDialRule(s.id(), where.c_str(), list.out(), &list.n), "reading dial rules (RemoteGetDialRule)");
    json rows = json::array();
    for (const DIALRULE_TABLE& r : Prefixed<DIALRULE_TABLE>(list.p, list.n))
      rows.push_back({{"id", r.dwRuleID}, {"line", r.dwPortID}, {"priority", r.dwPriority},
                      {"match", Text(r.szMatch)}, {"strip", r.dwStrip}, {"prepend", Text(r.szPrepend)},
                      {"description", Text(r.szDescription)}});
    Emit("dialrules", rows, {{"id", "ID"}, {"line", "LINE"}, {"priority", "PRI"}, {"match", "MATCH"},
                             {"strip", "STRIP"}, {"prepend", "PREPEND"}, {"description", "DESCRIPTION"}});
  })->add_option("-w,--where", where, "Condition (fields id, port_id, priority, match_prefix, strip, prepend, description)");
  static DIALRULE_TABLE rule{};
  static std::string match, prepend, description;
  CLI::App* add = Command(*rules, "add", "Add a dial rule", [] {
    rule.dwLength = sizeof rule;
    Put(rule.szMatch, match, "--match");
    Put(rule.szPrepend, prepend, "--prepend");
    Put(rule.szDescription, description, "--description");
    Session s;
    Check(RemoteDialRuleOP(s.id(), 0, &rule, 1), "adding the dial rule (RemoteDialRuleOP)");
    Done("dial rule added", {{"match", match}, {"strip", rule.dwStrip}, {"prepend", prepend}});
  });
  add->add_option("-m,--match", match, "Numbers beginning with this (empty: every number)");
  add->add_option("--strip", rule.dwStrip, "Leading digits removed, 0 to 31")->check(CLI::Range(0, 31));
  add->add_option("--prepend", prepend, "Digits put in front");
  add->add_option("--line", rule.dwPortID, "Line ID (0: every line)");
  add->add_option("--priority", rule.dwPriority, "Lower first");
  add->add_option("--description", description, "Description");
  static uint32_t id = 0;
  Command(*rules, "delete", "Delete a dial rule", [] {
    DIALRULE_TABLE r{};
    r.dwLength = sizeof r;
    r.dwRuleID = id;
    Session s;
    Check(RemoteDialRuleOP(s.id(), 2, &r, 1), "deleting the dial rule (RemoteDialRuleOP)");
    Done("dial rule " + std::to_string(id) + " deleted", {{"id", id}});
  })->add_option("id", id, "Rule ID")->required();
}

void AddRouting(CLI::App& root) {
  CLI::App* routing = Group(root, "routing", "Routing rules: where received faxes go");
  static const char* const kKinds[] = {"user", "department", "printer"};
  static std::string where;
  Command(*routing, "list", "List routing rules", [] {
    Session s;
    Block<ROUTERCONFIG_TABLE> list;
    Check(RemoteGetRouterInfo(s.id(), where.c_str(), list.out(), &list.n), "reading routing rules (RemoteGetRouterInfo)");
    json rows = json::array();
    for (const ROUTERCONFIG_TABLE& r : Records(list))
      rows.push_back({{"id", r.dwRouteID}, {"line", r.dwPortID},
                      {"kind", r.dwTargetKind < 3 ? kKinds[r.dwTargetKind] : "?"},
                      {"target", Text(r.szTarget)}, {"priority", r.dwPriority}, {"enabled", r.dwEnabled == 1},
                      {"number", Text(r.szNumber)}, {"sender", Text(r.szSender)},
                      {"description", Text(r.szDescription)}});
    Emit("routes", rows, {{"id", "ID"}, {"kind", "KIND"}, {"target", "TARGET"}, {"number", "NUMBER"},
                          {"sender", "SENDER"}, {"line", "LINE"}, {"priority", "PRI"}, {"enabled", "ENABLED"}});
  })->add_option("-w,--where", where, "Condition (fields id, port_id, target_kind, priority, enabled, number, sender, target)");
  static ROUTERCONFIG_TABLE route{};
  static std::string kind = "user", target, number, sender, description;
  static bool disabled = false;
  CLI::App* add = Command(*routing, "add", "Add a routing rule", [] {
    route.dwTargetKind = kind == "user" ? QZ_ROUTE_USER : kind == "department" ? QZ_ROUTE_DEPARTMENT : QZ_ROUTE_PRINTER;
    route.dwEnabled = disabled ? 0 : 1;
    Put(route.szTarget, target, "target");
    Put(route.szNumber, number, "--number");
    Put(route.szSender, sender, "--sender");
    Put(route.szDescription, description, "--description");
    Session s;
    Check(RemoteRouterOP(s.id(), 0, &route, 1), "adding the routing rule (RemoteRouterOP)");
    Done("routing rule added: " + kind + " " + target, {{"kind", kind}, {"target", target}});
  });
  add->add_option("target", target, "The user, department or printer faxes go to")->required();
  add->add_option("-k,--kind", kind, "user, department or printer")
      ->check(CLI::IsMember({"user", "department", "printer"}))->capture_default_str();
  add->add_option("--number", number, "Only faxes to this number (empty: any)");
  add->add_option("--sender", sender, "Only senders whose number begins with this");
  add->add_option("--line", route.dwPortID, "Line ID (0: every line)");
  add->add_option("--priority", route.dwPriority, "Lower first");
  add->add_flag("--disabled", disabled, "Store the rule switched off");
  add->add_option("--description", description, "Description");
  static std::vector<uint32_t> ids;
  Command(*routing, "delete", "Delete routing rules", [] {
    Session s;
    Check(RemoteRouterOP(s.id(), 3, ids.data(), static_cast<uint32_t>(ids.size())),
          "deleting routing rules (RemoteRouterOP)");
    Done("deleted " + std::to_string(ids.size()) + " routing rule(s)", {{"ids", ids}});
  })->add_option("ids", ids, "Rule IDs")->required();
}

void AddAuthorization(CLI::App& root) {
  CLI::App* auth = Group(root, "authorization", "Whose faxes wait for an administrator's authorisation");
  auth->alias("authorisation");
  static std::string where;
  Command(*auth, "list", "List authorization entries", [] {
    Session s;
    Block<AUTHORIZEDINFO_TABLE> list;
    Check(RemoteGetAuthorizedInfo(s.id(), where.c_str(), list.out(), &list.n),
          "reading authorization entries (RemoteGetAuthorizedInfo)");
    json rows = json::array();
    // The record is packed: its numbers are copied out, never bound by reference.
    for (const AUTHORIZEDINFO_TABLE& a : Records(list))
      rows.push_back({{"id", static_cast<uint32_t>(a.dwEntryID)}, {"user", Text(a.szUserID)},
                      {"hold", (a.dwFlags & QZ_AUTH_HOLD) != 0},
                      {"page_limit", static_cast<uint32_t>(a.dwPageLimit)}});
    Emit("entries", rows, {{"id", "ID"}, {"user", "USER"}, {"hold", "HOLD"}, {"page_limit", "PAGE LIMIT"}});
  })->add_option("-w,--where", where, "Condition (fields id, user_id, flags)");
  static std::string user;
  static bool no_hold = false;
  static uint32_t page_limit = 0, id = 0;
  CLI::App* add = Command(*auth, "add", "Hold a user's faxes for authorisation", [] {
    AUTHORIZEDINFO_TABLE a{};
    Put(a.szUserID, user, "user ID");
    a.dwFlags = no_hold ? 0 : QZ_AUTH_HOLD;
    a.dwPageLimit = page_limit;
    Session s;
    Check(RemoteAuthorizedOP(s.id(), 0, &a, 1), "adding the entry (RemoteAuthorizedOP)");
    Done("faxes of " + user + (no_hold ? " recorded" : " are held for authorisation"),
         {{"user", user}, {"hold", !no_hold}});
  });
  add->add_option("user", user, "User ID")->required();
  add->add_flag("--no-hold", no_hold, "Record the entry without holding faxes");
  add->add_option("--page-limit", page_limit, "Page limit kept for clients");
  Command(*auth, "delete", "Delete an authorization entry", [] {
    Session s;
    // The entry is sent whole: the server checks its user as well.
    Block<AUTHORIZEDINFO_TABLE> list;
    Check(RemoteGetAuthorizedInfo(s.id(), ("id=" + std::to_string(id)).c_str(), list.out(), &list.n),
          "finding the entry (RemoteGetAuthorizedInfo)");
    std::vector<AUTHORIZEDINFO_TABLE> found = Records(list);
    if (found.size() != 1) throw Failure(kExitNotFound, "no authorization entry " + std::to_string(id));
    Check(RemoteAuthorizedOP(s.id(), 2, found.data(), 1), "deleting the entry (RemoteAuthorizedOP)");
    Done("authorization entry " + std::to_string(id) + " deleted", {{"id", id}});
  })->add_option("id", id, "Entry ID")->required();
}

void AddPrinters(CLI::App& root) {
  CLI::App* printers = Group(root, "printers", "Printers of the server");
  Command(*printers, "list", "List the server's printers", [] {
    Session s;
    Block<PRINTERINFO> list;
    Check(RemoteQueryServerPrinters(s.id(), list.out(), &list.n), "reading printers (RemoteQueryServerPrinters)");
    json rows = json::array();
    for (const PRINTERINFO& p : Records(list))
      rows.push_back({{"id", p.dwPrinterID}, {"name", Text(p.szName)}, {"location", Text(p.szLocation)},
                      {"description", Text(p.szDescription)}, {"default", (p.dwFlags & QZ_PRINTER_DEFAULT) != 0},
                      {"cups", (p.dwFlags & QZ_PRINTER_FROM_CUPS) != 0}, {"state", p.dwState}});
    Emit("printers", rows, {{"id", "ID"}, {"name", "NAME"}, {"location", "LOCATION"}, {"default", "DEFAULT"},
                            {"description", "DESCRIPTION"}});
  });
}

}  // namespace

void AddLineCommands(CLI::App& root) {
  AddLines(root);
  AddDevices(root);
  AddScripts(root);
  AddDialRules(root);
  AddRouting(root);
  AddAuthorization(root);
  AddPrinters(root);
}

}  // namespace qzfax
