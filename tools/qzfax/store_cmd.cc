// store_cmd.cc -- "qzfax inbox" (alias "messages") and "qzfax addressbook":
// the messages of the folders (list, read, mark, move, delete, purge by
// condition, fetch a page or the document, replace the document, import
// waiting faxes) and the address book with its groups and their members.
//
// Folders are named as a user thinks of them: inbox, sent, drafts,
// archive, addressbook, notes, templates, schedule -- one's own; with
// "public:" or "department:" in front the shared ones; or by their number.
//
// Thread-safety: single-threaded, as the command line is.
#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <tuple>

#include "commands.h"
#include "folders.h"
#include "frame.h"

namespace qzfax {
namespace {

// dwInfoType of the information exports for an item code (the library
// maps 0..7 to the codes 7, 6, 2, 1, 3, 4, 5, 8).
constexpr uint32_t kInfoMessage = 3;
constexpr uint32_t kInfoAddress = 2;
constexpr uint32_t kInfoRelation = 4;
constexpr uint32_t kInfoGroup = 5;

const std::vector<uint32_t> kMessageKinds = {QZ_KIND_INBOX, QZ_KIND_SENT, QZ_KIND_DRAFTS,
                                             QZ_KIND_ARCHIVE};

json FlagsJson(uint32_t flags) {
  json names = json::array();
  const char* const kNames[] = {"read", "important", "printed", "forwarded"};
  for (int i = 0; i < 4; ++i)
    if (flags & (1u << i)) names.push_back(kNames[i]);
  return names;
}

json MessageJson(const FAXVIEW_TABLE& m) {
  static const char* const kDirection[] = {"received", "sent", "made"};
  return {{"id", m.dwFaxID},
          {"folder_id", m.dwFolderID},
          {"flags", FlagsJson(m.dwFlags)},
          {"read", (m.dwFlags & QZ_FAXVIEW_READ) != 0},
          {"direction", m.dwDirection < 3 ? kDirection[m.dwDirection] : "?"},
          {"pages", m.dwPages},
          {"time", Time(m.dwTime)},
          {"remote", Text(m.szRemote)},
          {"subject", Text(m.szSubject)}};
}

const std::vector<Column> kMessageColumns = {{"id", "ID"},       {"time", "TIME"},
                                             {"direction", "DIR"}, {"remote", "NUMBER"},
                                             {"pages", "PAGES"},   {"flags", "FLAGS"},
                                             {"subject", "SUBJECT"}};

// The message with that ID, wherever the caller may read it.
FAXVIEW_TABLE FindMessage(const Session& s, uint32_t id) {
  Block<FAXVIEW_TABLE> found;
  Check(RemoteGetFaxViewRecord(s.id(), ("id=" + std::to_string(id)).c_str(), found.out(), &found.n),
        "finding the message (RemoteGetFaxViewRecord)");
  if (found.n != 1) throw Failure(kExitNotFound, "no message " + std::to_string(id));
  return found.p[0];
}


void AddInbox(CLI::App& root) {
  CLI::App* inbox = Group(root, "inbox", "Received and sent messages in your folders");
  inbox->alias("messages");
  static std::string folder = "inbox", where;
  static bool only_new = false;
  CLI::App* list = Command(*inbox, "list", "List the messages of a folder (--new: the new ones)", [] {
    FolderName name = ParseFolder(folder, kMessageKinds);
    Session s;
    FOLDERINFO_TABLE f = FindFolder(s, name, kMessageKinds);
    json rows = json::array();
    if (only_new) {
      Block<RECVTASK_TABLE> news;
      const uint32_t none[1] = {0};  // no IDs known: every new message stays new
      Check(RemoteGetNewReceivedMessages(s.id(), &f, none, 0, news.out(), &news.n),
            "reading new messages (RemoteGetNewReceivedMessages)");
      for (const RECVTASK_TABLE& r : news)
        rows.push_back({{"id", r.dwRecvID},
                        {"line", r.dwLineID},
                        {"pages", r.dwPages},
                        {"time", Time(r.dwEndTime != 0 ? r.dwEndTime : r.dwStartTime)},
                        {"remote", Text(r.szSenderNumber)},
                        {"sender_user", Text(r.szSenderUser)},
                        {"number_dialled", Text(r.szLineNumber)},
                        {"subject", Text(r.szSubject)},
                        {"destination", Text(r.szDestination)}});
      Emit("messages", rows,
           {{"id", "ID"}, {"time", "TIME"}, {"remote", "FROM"}, {"pages", "PAGES"},
            {"destination", "TO"}, {"subject", "SUBJECT"}});
      return;
    }
    Block<void> block;
    Check(RemoteGetInformationEx(s.id(), &f, kInfoMessage, where.c_str(), block.out(), &block.n),
          "listing the folder (RemoteGetInformationEx)");
    for (uint32_t at = 0; block.p != nullptr && at + sizeof(FAXVIEW_TABLE) <= block.n;
         at += sizeof(FAXVIEW_TABLE)) {
      FAXVIEW_TABLE m;
      std::memcpy(&m, static_cast<const uint8_t*>(block.p) + at, sizeof m);
      rows.push_back(MessageJson(m));
    }
    Emit("messages", rows, kMessageColumns);
  });
  list->add_option("-f,--folder", folder, "Folder: inbox, sent, drafts, archive (public:..., department:...) or a number")
      ->capture_default_str();
  list->add_flag("-n,--new", only_new, "Only the messages not yet seen, with their reception details");
  list->add_option("-w,--where", where, "Condition, e.g. \"unread=1;number=8001\" (fields id, name, number, flags, unread, direction, since, until)");

  static uint32_t id = 0;
  Command(*inbox, "read", "Show a message and mark it read", [] {
    Session s;
    FAXVIEW_TABLE m = FindMessage(s, id);
    if (!(m.dwFlags & QZ_FAXVIEW_READ))
      Check(RemoteSetFaxViewFlag(s.id(), id, m.dwFlags | QZ_FAXVIEW_READ),
            "marking the message read (RemoteSetFaxViewFlag)");
    m.dwFlags |= QZ_FAXVIEW_READ;
    EmitObject(MessageJson(m));
  })->add_option("id", id, "Message ID")->required();

  static std::vector<std::string> set, clear;
  CLI::App* mark = Command(*inbox, "mark", "Set or clear the flags of a message", [] {
    auto bits = [](const std::vector<std::string>& names) {
      uint32_t b = 0;
      for (const std::string& n : names)
        b |= n == "read" ? QZ_FAXVIEW_READ : n == "important" ? QZ_FAXVIEW_IMPORTANT
                                          : n == "printed"   ? QZ_FAXVIEW_PRINTED
                                                             : QZ_FAXVIEW_FORWARDED;
      return b;
    };
    if (set.empty() && clear.empty()) Usage("give --set or --clear");
    Session s;
    FAXVIEW_TABLE m = FindMessage(s, id);
    uint32_t flags = (m.dwFlags | bits(set)) & ~bits(clear);
    Check(RemoteSetFaxViewFlag(s.id(), id, flags), "setting the flags (RemoteSetFaxViewFlag)");
    Done("message " + std::to_string(id) + ": flags " + FlagsJson(flags).dump(),
         {{"id", id}, {"flags", FlagsJson(flags)}});
  });
  mark->add_option("id", id, "Message ID")->required();
  const auto flag_names = CLI::IsMember({"read", "important", "printed", "forwarded"});
  mark->add_option("--set", set, "Flags to set: read, important, printed, forwarded")->check(flag_names);
  mark->add_option("--clear", clear, "Flags to clear")->check(flag_names);

  static std::string target;
  CLI::App* move = Command(*inbox, "move", "Move a message to another folder", [] {
    FolderName to = ParseFolder(target, kMessageKinds);
    Session s;
    FAXVIEW_TABLE m = FindMessage(s, id);
    FOLDERINFO_TABLE from = FolderOf(s, m.dwFolderID, kMessageKinds);
    FOLDERINFO_TABLE dest = FindFolder(s, to, kMessageKinds);
    Check(RemoteMoveInformation(s.id(), &from, &dest, kInfoMessage, &m, sizeof m),
          "moving the message (RemoteMoveInformation)");
    Done("message " + std::to_string(id) + " moved to " + Text(dest.szName),
         {{"id", id}, {"folder_id", dest.dwFolderID}, {"folder", Text(dest.szName)}});
  });
  move->add_option("id", id, "Message ID")->required();
  move->add_option("-t,--to", target, "Target folder (inbox, sent, drafts, archive, ...)")->required();

  static bool document_only = false;
  CLI::App* del = Command(*inbox, "delete", "Delete a message and its document (or --document-only)", [] {
    Session s;
    if (document_only) {
      // File type 0: the name is the message's ID; the message stays, with 0 pages.
      Check(RemoteDeleteFileFromServer(s.id(), 0, 0, id, std::to_string(id).c_str()),
            "deleting the document (RemoteDeleteFileFromServer)");
      Done("document of message " + std::to_string(id) + " deleted", {{"id", id}, {"document_only", true}});
      return;
    }
    FAXVIEW_TABLE m = FindMessage(s, id);
    FOLDERINFO_TABLE from = FolderOf(s, m.dwFolderID, kMessageKinds);
    Check(RemoteDeleteInformation(s.id(), &from, kInfoMessage, &m, sizeof m),
          "deleting the message (RemoteDeleteInformation)");
    Done("message " + std::to_string(id) + " deleted", {{"id", id}});
  });
  del->add_option("id", id, "Message ID")->required();
  del->add_flag("--document-only", document_only, "Delete only the document; the message stays with 0 pages");

  static std::string purge_where;
  Command(*inbox, "purge", "Delete every message the condition selects, in all folders you may change", [] {
    Session s;
    Check(RemoteDelFaxViewRecord(s.id(), purge_where.c_str()), "deleting messages (RemoteDelFaxViewRecord)");
    Done("messages deleted", {{"where", purge_where}});
  })->add_option("-w,--where", purge_where,
                 "Condition, e.g. \"number=8001;unread=0\" (fields id, name, number, flags, unread, direction, "
                 "since, until); required, it must select")
      ->required();

  static std::string document;
  CLI::App* replace = Command(*inbox, "replace", "Replace the document of a message with a local fax TIFF", [] {
    const uint32_t pages = CheckFaxTiff(document);
    const std::string path = Absolute(document);
    Session s;
    Check(RemoteSendFileToServer(s.id(), 0, id, "", path.c_str()),
          "replacing the document (RemoteSendFileToServer)");
    Done("document of message " + std::to_string(id) + " replaced (" + std::to_string(pages) + " page(s))",
         {{"id", id}, {"file", path}, {"pages", pages}});
  });
  replace->add_option("id", id, "Message ID")->required();
  replace->add_option("document", document, "The new document: a TIFF file, CCITT Group 3 or 4")->required();

  static uint32_t import_max = 100;
  static bool import_department = false;
  CLI::App* import = Command(*inbox, "import",
                             "File the TIFF files waiting in the server's import directory for you as received faxes", [] {
    Session s;
    // One byte chooses the inbox: 0 one's own, 1 one's department's.
    const uint8_t inbox_kind = import_department ? 1 : 0;
    Check(RemoteImportFaxInfo(s.id(), 1, &inbox_kind, import_max), "importing faxes (RemoteImportFaxInfo)");
    Done(std::string("waiting faxes filed in ") + (import_department ? "the department's inbox" : "your inbox"),
         {{"department", import_department}, {"max", import_max}});
  });
  import->add_option("-n,--max", import_max, "At most this many files, 1 to 100")
      ->check(CLI::Range(1, 100))->capture_default_str();
  import->add_flag("-d,--department", import_department, "File them in your department's inbox");

  static std::string out;
  static uint32_t page = 1;
  CLI::App* fetch = Command(*inbox, "page", "Fetch one page of a message into a one-page TIFF file", [] {
    if (id > 0xFFFFFF) Usage("message IDs of a page fetch are at most 16777215");
    const std::string path = Absolute(out);
    Session s;
    Check(RemoteGetOnePageFromServer(s.id(), (page - 1) << 24 | id, path.c_str()),
          "fetching the page (RemoteGetOnePageFromServer)");
    Done("page " + std::to_string(page) + " of message " + std::to_string(id) + " written to " + out,
         {{"id", id}, {"page", page}, {"file", path}});
  });
  fetch->add_option("id", id, "Message ID")->required();
  fetch->add_option("-p,--page", page, "Page number, from 1")->check(CLI::Range(1, 256))->capture_default_str();
  fetch->add_option("-o,--output", out, "File to write (created or truncated)")->required();

  CLI::App* doc = Command(*inbox, "fetch", "Fetch the whole document of a message into a file", [] {
    const std::string path = Absolute(out);
    Session s;
    uint32_t bytes = 0;
    Check(RemoteReceiveFileFromServer(s.id(), 0, id, "", path.c_str(), &bytes),
          "fetching the document (RemoteReceiveFileFromServer)");
    Done("message " + std::to_string(id) + ": " + std::to_string(bytes) + " bytes written to " + out,
         {{"id", id}, {"bytes", bytes}, {"file", path}});
  });
  doc->add_option("id", id, "Message ID")->required();
  doc->add_option("-o,--output", out, "File to write")->required();
}

json AddressJson(const ADDRESS_ITEM& a) {
  return {{"id", a.dwItemID},          {"folder_id", a.dwFolderID},
          {"name", Text(a.szName)},    {"fax", Text(a.szFaxNumber)},
          {"company", Text(a.szCompany)}, {"phone", Text(a.szPhone)},
          {"email", Text(a.szEmail)}};
}

// Every address entry the caller may read (the extended address book).
std::vector<ADDRESS_ITEM> AddressBook(const Session& s, json* groups) {
  Block<void> block;
  Check(RemoteGetAddressBookEx(s.id(), 1, block.out(), &block.n),
        "reading the address book (RemoteGetAddressBookEx)");
  std::vector<ADDRESS_ITEM> entries;
  if (block.p == nullptr || block.n < sizeof(ADDRESSBOOK_HEADER)) return entries;
  const auto* b = static_cast<const uint8_t*>(block.p);
  ADDRESSBOOK_HEADER h;
  std::memcpy(&h, b, sizeof h);
  size_t at = sizeof h;
  for (uint32_t i = 0; i < h.dwAddressCount && at + sizeof(ADDRESS_ITEM) <= block.n; ++i) {
    ADDRESS_ITEM a;
    std::memcpy(&a, b + at, sizeof a);
    entries.push_back(a);
    at += sizeof a;
  }
  for (uint32_t i = 0; groups && i < h.dwGroupCount && at + sizeof(GROUP_ITEM) <= block.n; ++i) {
    GROUP_ITEM g;
    std::memcpy(&g, b + at, sizeof g);
    groups->push_back({{"id", g.dwItemID}, {"folder_id", g.dwFolderID}, {"name", Text(g.szName)},
                       {"note", Text(g.szNote)}});
    at += sizeof g;
  }
  return entries;
}

void AddAddressBook(CLI::App& root) {
  CLI::App* book = Group(root, "addressbook", "Address book entries");
  Command(*book, "list", "List the address entries you may read", [] {
    Session s;
    json groups = json::array(), rows = json::array();
    for (const ADDRESS_ITEM& a : AddressBook(s, &groups)) rows.push_back(AddressJson(a));
    if (Global().json) {
      std::cout << json{{"entries", rows}, {"groups", groups}}.dump(2) << "\n";
      return;
    }
    Emit("entries", rows,
         {{"id", "ID"}, {"name", "NAME"}, {"fax", "FAX"}, {"company", "COMPANY"},
          {"phone", "PHONE"}, {"email", "E-MAIL"}});
  });

  static std::string folder = "addressbook", name, fax, company, phone, email;
  CLI::App* add = Command(*book, "add", "Add an address entry", [] {
    ADDRESS_ITEM a{};
    Put(a.szName, name, "--name");
    Put(a.szFaxNumber, fax, "--fax");
    Put(a.szCompany, company, "--company");
    Put(a.szPhone, phone, "--phone");
    Put(a.szEmail, email, "--email");
    FolderName fname = ParseFolder(folder, {QZ_KIND_ADDRESSBOOK});
    Session s;
    FOLDERINFO_TABLE f = FindFolder(s, fname, {QZ_KIND_ADDRESSBOOK});
    Check(RemoteNewInformation(s.id(), &f, kInfoAddress, &a, sizeof a),
          "adding the entry (RemoteNewInformation)");
    Done("address entry " + std::to_string(a.dwItemID) + " added", AddressJson(a));
  });
  add->add_option("-n,--name", name, "Name")->required();
  add->add_option("--fax", fax, "Fax number")->required();
  add->add_option("--company", company, "Company");
  add->add_option("--phone", phone, "Telephone number");
  add->add_option("--email", email, "E-mail address");
  add->add_option("-f,--folder", folder, "addressbook, public:addressbook or department:addressbook")
      ->capture_default_str();

  static uint32_t id = 0;
  // Only the options given change the entry.
  static std::optional<std::string> set_name, set_fax, set_company, set_phone, set_email;
  CLI::App* set = Command(*book, "set", "Change an address entry", [] {
    auto change = [](ADDRESS_ITEM& a) {
      if (set_name) Put(a.szName, *set_name, "--name");
      if (set_fax) Put(a.szFaxNumber, *set_fax, "--fax");
      if (set_company) Put(a.szCompany, *set_company, "--company");
      if (set_phone) Put(a.szPhone, *set_phone, "--phone");
      if (set_email) Put(a.szEmail, *set_email, "--email");
    };
    ADDRESS_ITEM checked{};
    change(checked);  // bad input is refused before anything is sent
    Session s;
    for (ADDRESS_ITEM a : AddressBook(s, nullptr)) {
      if (a.dwItemID != id) continue;
      change(a);
      FOLDERINFO_TABLE f = FolderOf(s, a.dwFolderID, {QZ_KIND_ADDRESSBOOK});
      Check(RemoteEditInformation(s.id(), &f, kInfoAddress, &a, sizeof a),
            "changing the entry (RemoteEditInformation)");
      Done("address entry " + std::to_string(id) + " changed", AddressJson(a));
      return;
    }
    throw Failure(kExitNotFound, "no address entry " + std::to_string(id));
  });
  set->add_option("id", id, "Entry ID")->required();
  set->add_option("-n,--name", set_name, "New name");
  set->add_option("--fax", set_fax, "New fax number");
  set->add_option("--company", set_company, "New company");
  set->add_option("--phone", set_phone, "New telephone number");
  set->add_option("--email", set_email, "New e-mail address");

  Command(*book, "delete", "Delete an address entry", [] {
    Session s;
    for (const ADDRESS_ITEM& a : AddressBook(s, nullptr)) {
      if (a.dwItemID != id) continue;
      FOLDERINFO_TABLE f = FolderOf(s, a.dwFolderID, {QZ_KIND_ADDRESSBOOK});
      Check(RemoteDeleteInformation(s.id(), &f, kInfoAddress, &a, sizeof a),
            "deleting the entry (RemoteDeleteInformation)");
      Done("address entry " + std::to_string(id) + " deleted", {{"id", id}});
      return;
    }
    throw Failure(kExitNotFound, "no address entry " + std::to_string(id));
  })->add_option("id", id, "Entry ID")->required();
}

json GroupJson(const GROUP_ITEM& g) {
  return {{"id", g.dwItemID}, {"folder_id", g.dwFolderID}, {"name", Text(g.szName)}, {"note", Text(g.szNote)}};
}

// The group with that ID among those the caller may read; not found: exit 6.
GROUP_ITEM FindGroup(const Session& s, uint32_t id) {
  json groups = json::array();
  AddressBook(s, &groups);
  for (const json& g : groups) {
    if (g["id"] != id) continue;
    GROUP_ITEM item{};
    item.dwItemID = id;
    item.dwFolderID = g["folder_id"];
    Put(item.szName, g["name"].get<std::string>(), "group name");
    Put(item.szNote, g["note"].get<std::string>(), "group note");
    return item;
  }
  throw Failure(kExitNotFound, "no group " + std::to_string(id));
}

// "addressbook groups": groups of address entries, their members, and the
// relations between entries and groups.
void AddGroups(CLI::App& book) {
  CLI::App* groups = Group(book, "groups", "Groups of address entries and their members");
  static std::string folder = "addressbook";
  auto folder_option = [](CLI::App* c) { AddFolderOption(c, folder, "addressbook"); };
  folder_option(Command(*groups, "list", "List the groups of an address-book folder", [] {
    FolderName name = ParseFolder(folder, {QZ_KIND_ADDRESSBOOK});
    Session s;
    FOLDERINFO_TABLE f = FindFolder(s, name, {QZ_KIND_ADDRESSBOOK});
    Block<void> block;
    Check(RemoteGetInformation(s.id(), &f, kInfoGroup, block.out(), &block.n),
          "listing the groups (RemoteGetInformation)");
    json rows = json::array();
    for (uint32_t at = 0; block.p != nullptr && at + sizeof(GROUP_ITEM) <= block.n; at += sizeof(GROUP_ITEM)) {
      GROUP_ITEM g;
      std::memcpy(&g, static_cast<const uint8_t*>(block.p) + at, sizeof g);
      rows.push_back(GroupJson(g));
    }
    Emit("groups", rows, {{"id", "ID"}, {"name", "NAME"}, {"note", "NOTE"}});
  }));

  static std::string name, note;
  CLI::App* add = Command(*groups, "add", "Add a group (its ID is shown by \"groups list\")", [] {
    GROUP_ITEM g{};
    Put(g.szName, name, "group name");
    Put(g.szNote, note, "--note");
    FolderName fname = ParseFolder(folder, {QZ_KIND_ADDRESSBOOK});
    Session s;
    FOLDERINFO_TABLE f = FindFolder(s, fname, {QZ_KIND_ADDRESSBOOK});
    // The group block travels in only: the server does not send the ID back.
    Check(RemoteNewInformation(s.id(), &f, kInfoGroup, &g, sizeof g), "adding the group (RemoteNewInformation)");
    Done("group " + name + " added", {{"name", name}, {"note", note}, {"folder_id", f.dwFolderID}});
  });
  add->add_option("name", name, "Name, at most 39 characters")->required();
  add->add_option("--note", note, "Note, at most 79 characters");
  folder_option(add);

  static uint32_t group_id = 0;
  Command(*groups, "delete", "Delete a group (its entries stay)", [] {
    Session s;
    GROUP_ITEM g = FindGroup(s, group_id);
    FOLDERINFO_TABLE f = FolderOf(s, g.dwFolderID, {QZ_KIND_ADDRESSBOOK});
    Check(RemoteDeleteInformation(s.id(), &f, kInfoGroup, &g, sizeof g), "deleting the group (RemoteDeleteInformation)");
    Done("group " + std::to_string(group_id) + " deleted", {{"id", group_id}});
  })->add_option("id", group_id, "Group ID")->required();

  // A relation is made and removed in the folder of its address entry.
  static std::vector<uint32_t> entries;
  auto membership = [](const char* cmd, bool join) {
    return [cmd, join] {
      Session s;
      FindGroup(s, group_id);
      const std::vector<ADDRESS_ITEM> book = AddressBook(s, nullptr);
      for (uint32_t entry : entries) {
        auto it = std::find_if(book.begin(), book.end(), [entry](const ADDRESS_ITEM& a) { return a.dwItemID == entry; });
        if (it == book.end()) throw Failure(kExitNotFound, "no address entry " + std::to_string(entry));
        FOLDERINFO_TABLE f = FolderOf(s, it->dwFolderID, {QZ_KIND_ADDRESSBOOK});
        ADDRRELATION_TABLE r{entry, group_id};
        Check(join ? RemoteNewInformation(s.id(), &f, kInfoRelation, &r, sizeof r)
                   : RemoteDeleteInformation(s.id(), &f, kInfoRelation, &r, sizeof r),
              std::string(join ? "adding entry " : "removing entry ") + std::to_string(entry) +
                  (join ? " (RemoteNewInformation)" : " (RemoteDeleteInformation)"));
      }
      Done(std::to_string(entries.size()) + " entr" + (entries.size() == 1 ? "y " : "ies ") +
               (join ? "added to" : "removed from") + " group " + std::to_string(group_id),
           {{"group_id", group_id}, {"entries", entries}, {"action", cmd}});
    };
  };
  for (auto [cmd, help, join] : {std::tuple<const char*, const char*, bool>{"join", "Add address entries to a group", true},
                                 {"leave", "Remove address entries from a group", false}}) {
    CLI::App* c = Command(*groups, cmd, help, membership(cmd, join));
    c->add_option("group", group_id, "Group ID")->required();
    c->add_option("entries", entries, "Address entry IDs")->required();
  }

  static uint32_t of_group = 0, of_entry = 0;
  CLI::App* relations = Command(*groups, "relations", "The relations of a group (its entries) or of an address entry (its groups)", [] {
    if ((of_group == 0) == (of_entry == 0)) Usage("give one of --group and --entry");
    Session s;
    Block<ADDRRELATION_TABLE> list;
    // Address type 0 asks by entry, 1 by group.
    Check(RemoteGetAddressRelation(s.id(), of_group != 0 ? of_group : of_entry, of_group != 0 ? 1 : 0,
                                   list.out(), &list.n),
          "reading the relations (RemoteGetAddressRelation)");
    json names = json::array();
    std::map<uint32_t, std::string> entry_names, group_names;
    for (const ADDRESS_ITEM& a : AddressBook(s, &names)) entry_names[a.dwItemID] = Text(a.szName);
    for (const json& g : names) group_names[g["id"].get<uint32_t>()] = g["name"].get<std::string>();
    json rows = json::array();
    for (const ADDRRELATION_TABLE& r : Records(list))
      rows.push_back({{"entry_id", r.dwAddressID}, {"entry", entry_names[r.dwAddressID]},
                      {"group_id", r.dwGroupID}, {"group", group_names[r.dwGroupID]}});
    Emit("relations", rows, {{"group_id", "GROUP"}, {"group", "GROUP NAME"}, {"entry_id", "ENTRY"}, {"entry", "ENTRY NAME"}});
  });
  relations->add_option("-g,--group", of_group, "The entries of this group")->check(CLI::Range(1u, 0xFFFFFFFFu));
  relations->add_option("-e,--entry", of_entry, "The groups of this address entry")->check(CLI::Range(1u, 0xFFFFFFFFu));
}

}  // namespace

void AddStoreCommands(CLI::App& root) {
  AddInbox(root);
  AddAddressBook(root);
  AddGroups(*root.get_subcommand("addressbook"));
}

}  // namespace qzfax
