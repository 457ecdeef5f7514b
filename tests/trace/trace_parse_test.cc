// trace_parse_test.cc -- the trace log reader of qzfax fed in pieces of any
// size (a log read while it grows) and at its bounds.
#include "trace_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qzfax::trace {
namespace {

// A buffer dump as the library writes it (see trace_parse.h).
std::string DumpText(const std::string& bytes) {
  if (bytes.empty()) return "\n\n";
  std::string out = "\t";
  char row[32];
  for (size_t i = 0; i < bytes.size(); i += 16) {
    if (i > 0) out += "\t" + bytes.substr(i - 16, 16);
    std::snprintf(row, sizeof row, "\n\t0x%08zx\t", 0x1000 + i);
    out += row;
    for (size_t k = i; k < i + 16 && k < bytes.size(); ++k) {
      std::snprintf(row, sizeof row, "%02x ", static_cast<unsigned char>(bytes[k]));
      out += row;
    }
  }
  return out + "\n\n";
}

struct Result {
  std::vector<Entry> entries;
  std::vector<Problem> problems;
  // Everything that matters, as text, to compare two readings.
  std::string Signature() const {
    std::string s;
    for (const Entry& e : entries) {
      s += std::to_string(e.offset) + (e.torn ? " torn " + e.torn_reason : "") + "\n";
      for (const Line& l : e.lines) s += l.name + "=" + l.value + "|";
      for (const Dump& d : e.dumps)
        s += std::to_string(d.total) + ":" + std::string(d.bytes.begin(), d.bytes.end()) + "|";
      s += "\n";
    }
    for (const Problem& p : problems) s += std::to_string(p.offset) + " " + p.what + "\n";
    return s;
  }
};

// Reads `log` fed in pieces ending at `cuts`; `settle`: a follower's
// quiet flush after each piece.
Result Read(const std::string& log, const std::vector<size_t>& cuts, bool settle = false) {
  Result r;
  TraceParser p([&](Entry&& e) { r.entries.push_back(std::move(e)); },
                [&](Problem&& q) { r.problems.push_back(std::move(q)); });
  size_t at = 0;
  for (size_t cut : cuts) {
    p.Feed(std::string_view(log).substr(at, cut - at));
    at = cut;
    if (settle) p.Flush(false);
  }
  p.Feed(std::string_view(log).substr(at));
  p.Flush(true);
  return r;
}

std::string SampleLog() {
  const std::string raw16 = "1-1-1-1:1:1 1mm\t";  // looks like an entry start
  return "2027-2-1-9:3:4 5mm\t\tdwServerID = 3\n\n"
         "2027-2-1-9:3:4 6mm\t Call RemoteGetFolders return \n\tlret = 1\n\t*ppInfo = 0x00001000\n"
         "\t*pdwRecordCount * sizeof(FOLDERINFO_TABLE) = 0x28\n" +
         DumpText(raw16 + "\n\n\t" + std::string(18, 'x') + "end") + "\tnAfter = 5\n\n" +
         "2027-2-1-9:3:4 7mm\t Call RemoteDelUserLog\n\tpszCondition = a\nb\n\n"
         "2027-2-1-9:3:4 8mm\t Call rpcGetScriptList\n\tlSize = 0x0\n" + DumpText("") +
         "2027-2-1-9:3:4 9mm\t Call rpcSendFax \n\tdwSize = 0x11\n" + DumpText(raw16 + "z");
}

TEST(TraceParserTest, PiecesOfAnySizeReadAsTheWhole) {
  const std::string log = SampleLog();
  const Result whole = Read(log, {});
  ASSERT_EQ(whole.entries.size(), 5u);
  EXPECT_TRUE(whole.problems.empty());
  ASSERT_EQ(whole.entries[1].dumps.size(), 1u);
  EXPECT_EQ(whole.entries[1].dumps[0].total, 40u);
  EXPECT_EQ(whole.entries[1].lines.back().name, "nAfter");
  EXPECT_EQ(whole.entries[4].dumps[0].total, 17u);  // the log ends with a short row
  EXPECT_FALSE(whole.entries[4].torn);
  for (size_t cut = 0; cut <= log.size(); ++cut) {
    EXPECT_EQ(Read(log, {cut}).Signature(), whole.Signature()) << "cut at " << cut;
    // A follower's flush between the pieces never makes an entry torn.
    for (const Entry& e : Read(log, {cut}, true).entries) EXPECT_FALSE(e.torn) << cut;
  }
  std::vector<size_t> bytewise;
  for (size_t i = 1; i < log.size(); ++i) bytewise.push_back(i);
  EXPECT_EQ(Read(log, bytewise).Signature(), whole.Signature());
}

TEST(TraceParserTest, BoundsHoldOnBothSides) {
  const std::string next = "2027-2-1-9:3:5 0mm\t Call Next\n\n";
  for (size_t extra : {0u, 1u, 100u}) {
    // A line of exactly the bound is kept; one byte more is cut (also when
    // the cut comes before its line feed has been read).
    const std::string line = "\tv = " + std::string(kMaxLineBytes - 5 + extra, 'y');
    const std::string log = "2027-2-1-9:3:4 5mm\t Call Long\n" + line + "\n\n" + next;
    for (const std::vector<size_t>& cuts : {std::vector<size_t>{}, std::vector<size_t>{
                                                 40000, 700000, kMaxLineBytes + 40}}) {
      const Result r = Read(log, cuts);
      ASSERT_EQ(r.entries.size(), 2u) << extra;
      EXPECT_FALSE(r.entries[0].torn);
      EXPECT_EQ(r.entries[0].values_cut, extra ? 1u : 0u);
      EXPECT_EQ(r.entries[0].lines.back().value.size(), kMaxLineBytes - 5);
      EXPECT_EQ(r.entries[1].Labels(), std::vector<std::string>{"Call Next"});
      EXPECT_TRUE(r.problems.empty());
    }
  }
  for (size_t extra : {0u, 16u}) {  // dump bytes kept: all of them, or up to the bound
    const std::string log = "2027-2-1-9:3:4 5mm\t Call Dump\n\tn = 0x0\n" +
                            DumpText(std::string(kMaxDumpKeep + extra, '\x7f')) + next;
    const Result r = Read(log, {});
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].dumps[0].total, kMaxDumpKeep + extra);
    EXPECT_EQ(r.entries[0].dumps[0].bytes.size(), kMaxDumpKeep);
  }
  std::string many = "2027-2-1-9:3:4 5mm\t Call Many\n";
  for (size_t i = 0; i < kMaxLines + 5; ++i) many += "\tp = " + std::to_string(i) + "\n";
  const Result r = Read(many + "\n" + next, {});
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].lines.size(), kMaxLines);
  EXPECT_EQ(r.entries[0].lines_dropped, 6u);  // the label and kMaxLines + 5 parameters
}

TEST(TraceParserTest, TimeArgumentsInBothForms) {
  struct Case {
    const char* text;
    bool ok;
    int64_t millis_after_midnight;
  } cases[] = {
      {"2027-2-1-9:3:4 5", true, 9 * 3600000 + 3 * 60000 + 4005},
      {"2027-02-01T09:03:04.5", true, 9 * 3600000 + 3 * 60000 + 4500},
      {"2027-02-01 09:03", true, 9 * 3600000 + 3 * 60000},
      {"2027-02-01", true, 0},
      {"2027-2-1-23:59:59 999", true, 86399999},
      {"2027-2-1-24:0:0 0", false, 0},
      {"2027-13-01", false, 0},
      {"2027-02-01T09:03:04.5000", false, 0},
      {"2027-02", false, 0},
      {"2027-02-01x", false, 0},
  };
  const int64_t midnight = ParseStampArgument("2027-02-01")->Millis();
  for (const Case& c : cases) {
    const auto s = ParseStampArgument(c.text);
    ASSERT_EQ(s.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s->Millis() - midnight, c.millis_after_midnight) << c.text;
    }
  }
}

}  // namespace
}  // namespace qzfax::trace
