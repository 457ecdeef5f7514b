// users_cmd.cc -- "qzfax users" and "qzfax departments": who may use the
// fax server, with which rights, in which department.
//
// Thread-safety: single-threaded, as the command line is.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>

#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

// The department identifier inside a USERINFO_TABLE (offset 53, 20 bytes).
std::string UserDept(const USERINFO_TABLE& u) {
  return std::string(reinterpret_cast<const char*>(u.reserved),
                     strnlen(reinterpret_cast<const char*>(u.reserved), 20));
}

json UserJson(const USERINFO_TABLE& u) {
  return {{"id", Text(u.szUserID)},
          {"name", Text(u.szUserName)},
          {"admin", u.bUserType == 1},
          {"department", UserDept(u)},
          {"rights", {Hex(u.dwRights[0]), Hex(u.dwRights[1]), Hex(u.dwRights[2]), Hex(u.dwRights[3])}}};
}

const char* const kDetailFields[] = {"", "phone", "email", "fax", "title"};

// Operation 1 answers the user's record followed by their detail records;
// `details` receives those as {"phone": ..., ...}.
std::vector<USERINFO_TABLE> Users(const Session& s, uint32_t op, const std::string& id,
                                  json* details = nullptr) {
  Block<void> block;
  Check(RemoteGetUserRecord(s.id(), op, id.c_str(), block.out(), &block.n),
        "reading users (RemoteGetUserRecord)");
  std::vector<USERINFO_TABLE> users;
  const size_t count = op == 1 ? std::min<size_t>(1, block.n / sizeof(USERINFO_TABLE))
                               : block.n / sizeof(USERINFO_TABLE);
  const auto* b = static_cast<const uint8_t*>(block.p);
  for (size_t i = 0; block.p != nullptr && i < count; ++i) {
    USERINFO_TABLE u;
    std::memcpy(&u, b + i * sizeof u, sizeof u);
    users.push_back(u);
  }
  for (size_t at = sizeof(USERINFO_TABLE); details && op == 1 && count == 1 &&
                                           at + sizeof(USERDETAIL_TABLE) <= block.n;
       at += sizeof(USERDETAIL_TABLE)) {
    USERDETAIL_TABLE d;
    std::memcpy(&d, b + at, sizeof d);
    (*details)[d.dwField >= 1 && d.dwField <= 4 ? kDetailFields[d.dwField]
                                                : "field " + std::to_string(d.dwField)] = Text(d.szValue);
  }
  return users;
}

// "A,B,C,D": the four rights masks, each decimal or 0x hexadecimal.
std::vector<uint32_t> ParseRights(const std::string& text) {
  std::vector<uint32_t> masks;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    try {
      size_t used = 0;
      unsigned long v = std::stoul(part, &used, 0);
      if (used != part.size() || v > 0xFFFFFFFFul) throw std::out_of_range(part);
      masks.push_back(static_cast<uint32_t>(v));
    } catch (const std::exception&) {
      Usage("--rights: \"" + part + "\" is not a 32-bit number");
    }
  }
  if (masks.size() != 4) Usage("--rights takes four masks: R0,R1,R2,R3");
  return masks;
}

// One line of standard input; on a terminal after a prompt on stderr and
// without echo.
std::string SecretLine(const char* prompt) {
  const bool tty = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (tty && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::cerr << prompt << ": " << std::flush;
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
  }
  if (!got) Usage(std::string("no ") + prompt + " line on standard input");
  return line;
}

// "-" reads the password from the first line of standard input.
std::string Password(const std::string& given) {
  return given == "-" ? SecretLine("password") : given;
}

// One USEROP_RECORD with its description after the fixed part.
std::string UserOp(const std::string& id, const std::string& dept, bool admin,
                   const std::vector<uint32_t>& rights, const std::string& name,
                   const std::string& password, const std::string& description) {
  USEROP_RECORD r{};
  Put(r.szUserID, id, "user ID");
  Put(r.szDeptID, dept, "--department");
  r.dwUserType = admin ? 1 : 0;
  for (int i = 0; i < 4; ++i) r.dwRights[i] = rights.empty() ? 0 : rights[i];
  Put(r.szUserName, name, "--name");
  Put(r.szPassword, password, "password");
  if (description.size() > 255) Usage("--description is too long: at most 255 characters");
  r.dwLength = static_cast<uint32_t>(sizeof r + description.size() + 1);
  std::string block(reinterpret_cast<const char*>(&r), sizeof r);
  block += description;
  block += '\0';
  return block;
}

void AddUsers(CLI::App& root) {
  CLI::App* users = Group(root, "users", "Users of the fax server and their rights");
  Command(*users, "list", "List every user", [] {
    Session s;
    json rows = json::array();
    for (const USERINFO_TABLE& u : Users(s, 2, "")) rows.push_back(UserJson(u));
    Emit("users", rows,
         {{"id", "ID"}, {"name", "NAME"}, {"admin", "ADMIN"}, {"department", "DEPT"}, {"rights", "RIGHTS"}});
  });
  Command(*users, "whoami", "Show the logged-in user and the server", [] {
    Session s;
    SERVERINFO info{};
    Check(GetServerInfo(s.id(), &info), "reading the server information (GetServerInfo)");
    json me = UserJson(info.UserInfo);
    me["server_host"] = Text(info.szHostName);
    me["server_name"] = Text(info.szText35);
    me["server_version"] = Text(info.szText55);
    me["transport"] = Text(info.szText86);
    me["session"] = info.dwSessionNo;
    EmitObject(me);
  });
  static std::string id;
  Command(*users, "show", "Show one user with their details", [] {
    Session s;
    json details = json::object();
    std::vector<USERINFO_TABLE> u = Users(s, 1, id, &details);
    if (u.empty()) throw Failure(kExitNotFound, "no user " + id);
    json shown = UserJson(u[0]);
    shown["details"] = details;
    EmitObject(shown);
  })->add_option("id", id, "User ID")->required();

  static std::string name, dept, password, rights, description;
  static bool admin = false;
  CLI::App* add = Command(*users, "add", "Add a user", [] {
    std::string rec = UserOp(id, dept, admin, rights.empty() ? std::vector<uint32_t>{} : ParseRights(rights),
                             name, Password(password), description);
    Session s;
    Check(RemoteUserOP(s.id(), 1, rec.data(), 1), "adding the user (RemoteUserOP)");
    Done("user " + id + " added", {{"id", id}});
  });
  add->add_option("id", id, "User ID, 1 to 19 characters")->required();
  add->add_option("-n,--name", name, "Full name");
  add->add_option("-d,--department", dept, "Department ID");
  add->add_option("--password", password, "Password (\"-\": read a line from standard input)");
  add->add_option("-r,--rights", rights,
                  "The four rights masks R0,R1,R2,R3 (decimal or 0x...); default all 0");
  add->add_flag("--admin", admin, "An administrator");
  add->add_option("--description", description, "Description, at most 255 characters");

  static std::string set_name, set_dept, set_rights;
  static bool set_admin = false, set_user = false;
  CLI::App* set = Command(*users, "set", "Change a user's name, department, type or rights", [] {
    Session s;
    std::vector<USERINFO_TABLE> u = Users(s, 1, id);
    if (u.empty()) throw Failure(kExitNotFound, "no user " + id);
    std::vector<uint32_t> r(u[0].dwRights, u[0].dwRights + 4);
    if (!set_rights.empty()) r = ParseRights(set_rights);
    bool is_admin = set_admin ? true : set_user ? false : u[0].bUserType == 1;
    std::string rec = UserOp(id, set_dept.empty() ? UserDept(u[0]) : set_dept, is_admin, r,
                             set_name.empty() ? Text(u[0].szUserName) : set_name, "", "");
    Check(RemoteUserOP(s.id(), 2, rec.data(), 1), "changing the user (RemoteUserOP)");
    Done("user " + id + " changed", {{"id", id}});
  });
  set->add_option("id", id, "User ID")->required();
  set->add_option("-n,--name", set_name, "New full name");
  set->add_option("-d,--department", set_dept, "New department");
  set->add_option("-r,--rights", set_rights, "New rights masks R0,R1,R2,R3");
  set->add_flag("--admin", set_admin, "Make an administrator");
  set->add_flag("--user", set_user, "Make a plain user")->excludes("--admin");

  CLI::App* pw = Command(*users, "passwd", "Set a user's password", [] {
    std::string rec = UserOp(id, "", false, {}, "", Password(password), "");
    Session s;
    Check(RemoteUserOP(s.id(), 4, rec.data(), 1), "setting the password (RemoteUserOP)");
    Done("password of " + id + " set", {{"id", id}});
  });
  pw->add_option("id", id, "User ID")->required();
  pw->add_option("--password", password, "New password (\"-\": read a line from standard input)")->required();

  Command(*users, "change-password",
          "Change your own password: reads the old and then the new password, one line each, from "
          "standard input (on a terminal without echo)",
          [] {
            const std::string old_password = SecretLine("old password");
            const std::string new_password = SecretLine("new password");
            Session s;
            Check(RemoteChangePassword(s.id(), old_password.c_str(), new_password.c_str()),
                  "changing the password (RemoteChangePassword)");
            Done("password changed");
          });

  // Details: 1 sets a field, 3 deletes it.
  static std::map<std::string, std::string> set_details;
  static std::vector<std::string> clear_details;
  CLI::App* details = Command(*users, "details", "Set or clear a user's phone, e-mail, fax number or title", [] {
    if (set_details.empty() && clear_details.empty()) Usage("give --phone, --email, --fax, --title or --clear");
    std::vector<USERDETAIL_TABLE> sets, clears;
    for (uint32_t field = 1; field <= 4; ++field) {
      USERDETAIL_TABLE d{};
      Put(d.szUserID, id, "user ID");
      d.dwField = field;
      auto it = set_details.find(kDetailFields[field]);
      if (it != set_details.end()) {
        Put(d.szValue, it->second, (std::string("--") + kDetailFields[field]).c_str());
        sets.push_back(d);
      }
      if (std::find(clear_details.begin(), clear_details.end(), kDetailFields[field]) != clear_details.end())
        clears.push_back(d);
    }
    Session s;
    if (!sets.empty())
      Check(RemoteUserDetailOP(s.id(), 1, sets.data(), static_cast<uint32_t>(sets.size())),
            "setting details (RemoteUserDetailOP)");
    if (!clears.empty())
      Check(RemoteUserDetailOP(s.id(), 3, clears.data(), static_cast<uint32_t>(clears.size())),
            "clearing details (RemoteUserDetailOP)");
    Done("details of " + id + " changed", {{"id", id}, {"set", set_details}, {"cleared", clear_details}});
  });
  details->add_option("id", id, "User ID")->required();
  for (uint32_t field = 1; field <= 4; ++field) {
    const std::string name = kDetailFields[field];
    details->add_option_function<std::string>(
        "--" + name, [name](const std::string& v) { set_details[name] = v; },
        "New " + name + ", at most 27 characters");
  }
  details->add_option("--clear", clear_details, "Details to delete: phone, email, fax, title")
      ->check(CLI::IsMember({"phone", "email", "fax", "title"}));

  Command(*users, "delete", "Delete a user (refused while they own anything)", [] {
    std::string rec = UserOp(id, "", false, {}, "", "", "");
    Session s;
    Check(RemoteUserOP(s.id(), 3, rec.data(), 1), "deleting the user (RemoteUserOP)");
    Done("user " + id + " deleted", {{"id", id}});
  })->add_option("id", id, "User ID")->required();
}

json DeptJson(const DEPTINFO_TABLE& d) {
  return {{"id", Text(d.szDeptID)}, {"name", Text(d.szName)}, {"manager", Text(d.szManager)},
          {"fax", Text(d.szFaxNumber)}, {"members", d.dwMemberCount}};
}

void AddDepartments(CLI::App& root) {
  CLI::App* depts = Group(root, "departments", "Departments: groups of users sharing folders");
  static std::string where;
  Command(*depts, "list", "List departments", [] {
    Session s;
    Block<DEPTINFO_TABLE> list;
    Check(RemoteGetDeptData(s.id(), where.c_str(), list.out(), &list.n),
          "reading departments (RemoteGetDeptData)");
    json rows = json::array();
    for (const DEPTINFO_TABLE& d : list) rows.push_back(DeptJson(d));
    Emit("departments", rows,
         {{"id", "ID"}, {"name", "NAME"}, {"manager", "MANAGER"}, {"fax", "FAX"}, {"members", "MEMBERS"}});
  })->add_option("-w,--where", where, "Condition (fields id, name, manager)");

  static std::string id, name, manager, fax;
  auto write = [](uint32_t command, const char* verb) {
    DEPTINFO_TABLE d{};
    Put(d.szDeptID, id, "department ID");
    Put(d.szName, name, "--name");
    Put(d.szManager, manager, "--manager");
    Put(d.szFaxNumber, fax, "--fax");
    Session s;
    Check(RemoteDeptOP(s.id(), command, &d, 1), std::string(verb) + " the department (RemoteDeptOP)");
    Done("department " + id + (command == 3 ? " deleted" : " stored"), DeptJson(d));
  };
  for (auto [cmd, command, help] : {std::tuple<const char*, uint32_t, const char*>{"add", 1, "Add a department"},
                                    {"set", 2, "Change a department"}}) {
    CLI::App* c = Command(*depts, cmd, help, [write, command = command] { write(command, "storing"); });
    c->add_option("id", id, "Department ID, 1 to 19 characters")->required();
    c->add_option("-n,--name", name, "Name");
    c->add_option("-m,--manager", manager, "Manager (a user ID)");
    c->add_option("--fax", fax, "Fax number");
  }
  Command(*depts, "delete", "Delete a department (refused while it has members or items)",
          [write] { write(3, "deleting"); })
      ->add_option("id", id, "Department ID")->required();
}

}  // namespace

void AddUserCommands(CLI::App& root) {
  AddUsers(root);
  AddDepartments(root);
}

}  // namespace qzfax
