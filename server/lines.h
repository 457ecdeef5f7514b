// lines.h -- devices, lines and their limitation rules, live line status,
// scripts: the procedures 31..39 and 71 of qzfaxd, and what the engine
// asks of the lines (through the Telephony hook, see dialing.h).
//
// Devices, lines and limitation rules are records of qzrecords_admin.h
// kept in the tables of the "lines" schema part. The lines are the
// engine's lines: adding one adds capacity, a line out of service takes
// no tasks, and a limitation rule decides which numbers a line may dial
// at which minute of the day. What the engine reports about a line is
// kept in memory (LineBoard) and answered by rpcGetPortRealInfo. Scripts
// are files <data_dir>/scripts/<name>, with their SCRIPTINFO record in the
// table.
//
// Thread-safety: LinesFamily::Main runs on many threads; the LineBoard
// has its own mutex; the store serialises the tables.
#ifndef QZ_SERVER_LINES_H_
#define QZ_SERVER_LINES_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/record_table.h"

namespace qz::faxd {

extern const SchemaPart kLinesSchemaPart;
extern const RecordKind kDeviceKind;    // DEVICEINFO_TABLE in "devices"
extern const RecordKind kLineKind;      // PORTINFO_TABLE in "lines"
extern const RecordKind kLineRuleKind;  // LINECHECK_TABLE in "line_rules"
extern const RecordKind kScriptKind;    // SCRIPTINFO in "scripts"

// What the engine last reported about each line.
class LineBoard {
 public:
  struct State {
    std::string activity;
    int64_t since_s = 0;
  };
  void Report(uint32_t line_id, const std::string& activity, int64_t now_s);
  std::optional<State> Get(uint32_t line_id);

 private:
  std::mutex mu_;
  std::map<uint32_t, State> states_;
};

// The lines of the configuration, ascending identifier.
std::vector<LineView> ListLines(Store* store);
// Whether `line_id` is in service and its limitation rules let it dial
// `number` at `now_ms` (the number is compared with its blanks and
// punctuation removed).
bool LineMayDial(Store* store, uint32_t line_id, const std::string& number, int64_t now_ms);
// `number` with everything but digits, '+', '*' and '#' removed.
std::string NormalizeNumber(const std::string& number);
// A database without lines gets `count` lines in service, numbered
// `first_number`, `first_number` + 1, ... (the daemon's simulated lines).
// False on a store failure.
bool SeedLinesIfNone(Store* store, uint32_t count, uint32_t first_number);
// Script names: 1..63 characters of A-Z a-z 0-9 . _ -, not beginning
// with '.'. The file of a script is <data_dir>/scripts/<name> (the same
// file the script-file procedures of the file transfer family name).
bool ValidScriptName(const std::string& name);
std::string ScriptPath(const std::string& data_dir, const std::string& name);
// True when a script of that name is in the list (rpcGetScriptList).
bool ScriptListed(Store* store, const std::string& name);

class LinesFamily final : public ProcedureFamily {
 public:
  explicit LinesFamily(ServerContext* context) : context_(context) {}
  const char* Name() const override { return "lines"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;
  LineBoard* board() { return &board_; }

 private:
  int32_t SetPortStatus(Call& call);
  int32_t StopPort(Call& call);
  int32_t GetPortRealInfo(Call& call);
  int32_t ScriptFileOp(Call& call);

  ServerContext* context_;
  LineBoard board_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_LINES_H_
