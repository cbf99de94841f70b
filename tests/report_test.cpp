// SPDX-License-Identifier: MIT
// morvix-report against records made here: how it reads lines of every
// schema, and the page it writes, both as written and as Chromium shows it
// once its script ran (the unit filter, #q= in the address).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report/unit_records.h"
#include "support/child_process.h"

namespace {

// --- Reading lines -----------------------------------------------------------

struct LineCase {
  const char* line;
  const char* why;  // "" for a record
  const char* label;
};

// Test names from what the line is, not its bytes.
void PrintTo(const LineCase& c, std::ostream* out) { *out << (*c.why ? c.why : "a record"); }

class ReadRecordLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(ReadRecordLineTest, ReadsRecordsOfEverySchemaAndNamesWhatIsNone) {
  RecordFields fields;
  std::string scratch;
  EXPECT_EQ(ReadRecordLine(GetParam().line, fields, scratch), GetParam().why);
  if (*GetParam().why == '\0') {
    EXPECT_EQ(fields.label, GetParam().label);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadRecordLineTest,
    testing::Values(
        // A later schema's members, nested and holding the characters that
        // end a value, are stepped over.
        LineCase{R"({"time":"2026-12-08T06:00:00Z","later":{"a":[1,{"b":"},]\""}],"c":null},)"
                 R"("outcome":"success","label":"L1"})",
                 "", "L1"},
        // Escapes, a surrogate pair, and the lone surrogate the command line
        // writes for a byte that was no UTF-8.
        LineCase{
            R"({"time":"2026-12-08T06:00:00Z","outcome":"failure","label":"caf\u00e9 \ud83d\ude00 \udcff\u0000\"q\""})",
            "", "café 😀 \xEF\xBF\xBD\xEF\xBF\xBD\"q\""},
        LineCase{R"({"time":"2026-12-08T06:00:00Z","outcome":"success"} {)", "not JSON", ""},
        LineCase{R"({"time":"2026-12-08T06:00:00Z","outcome":"success","label":"cut)", "not JSON",
                 ""},
        LineCase{R"([{"time":"2026-12-08T06:00:00Z"}])", "not a JSON object", ""},
        LineCase{R"({"outcome":"success"})", "no time", ""},
        LineCase{R"({"time":"08.12.2026","outcome":"success"})",
                 "time '08.12.2026' is not a UTC time", ""},
        LineCase{R"({"time":"2026-02-30T06:00:00Z","outcome":"success"})",
                 "time '2026-02-30T06:00:00Z' is not a UTC time", ""},
        LineCase{R"({"time":"2026-12-08T06:00:00Z","outcome":"skipped"})",
                 "unknown outcome 'skipped'", ""},
        // What assemble-records makes of a line a station cut short.
        LineCase{R"({"host":"pc1","unreadable":"{\"time\":\"2026-"})",
                 "cut short or garbled on the station", ""}));

// --- The page ------------------------------------------------------------------

struct Unit {
  std::string time, station, label, serial, outcome, message, reason, hint;
  double seconds = 0;
  int verified = -1;  // -1: not checked
};

const char* const kStations[] = {"station-a", "station-b", "station-c"};
const std::string kScriptLabel = "<script>document.title='owned'</script>LBL-0007";
struct Kind {
  const char* message;
  const char* reason;
  const char* hint;
  std::vector<int> units;
};
const Kind kKinds[] = {
    {"PLC DOES NOT respond to the erasing signal",
     "No answer to the erase request (3 attempts).",
     "Check the cable, then run the same command again.",
     {3, 11, 17, 40}},
    {"Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
     "The loader reported a flash write error (0x16).",
     "Switch the PLC off and on, then again.",
     {8, 25}},
    {"CANNOT open /dev/ttyUSB1 Port!!!", "The port is busy & <b>taken</b>.", "", {33}},
};

std::string TimeText(int64_t time, char separator) {
  std::string text = UtcText(time);
  text[10] = separator;
  return separator == 'T' ? text + "Z" : text;
}

// 50 units of three stations over a morning with a stop of three hours;
// unit 0 is a record of the first schema (no station, label or checks).
std::vector<Unit> MakeUnits() {
  const int64_t start = *ParseUtcTime("2026-12-08T06:00:00Z");
  std::vector<Unit> units;
  for (int i = 0; i < 50; ++i) {
    Unit unit;
    unit.time = TimeText(start + i * 420 + (i >= 20 ? 3 * 3600 : 0), 'T');
    unit.station = i == 0 ? "" : kStations[i % 3];
    char label[16];
    std::snprintf(label, sizeof label, "LBL-%04d", i);
    unit.label = i == 0 ? "" : i == 7 ? kScriptLabel : label;
    unit.serial = i % 3 == 1 ? "SN" + std::to_string(9000 + i) : "";
    unit.outcome = i == 14 || i == 45 ? "interrupted" : "success";
    unit.message = "Firmware update is SUCCESSFUL";
    for (const Kind& kind : kKinds) {
      if (std::count(kind.units.begin(), kind.units.end(), i)) {
        unit.outcome = "failure";
        unit.message = kind.message;
        unit.reason = kind.reason;
        unit.hint = kind.hint;
      }
    }
    unit.seconds = 40 + (i * 7) % 23 + 0.5;
    // Checked on station-c; a unit that failed there says so too, and is no
    // unit written but not verified.
    if (i % 3 == 2) unit.verified = i == 20 || unit.outcome != "success" ? 0 : 1;
    units.push_back(unit);
  }
  return units;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string RecordsFile(const std::vector<Unit>& units) {
  std::string text;
  for (size_t i = 0; i < units.size(); ++i) {
    const Unit& u = units[i];
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%.1f", u.seconds);
    std::string line = "{";
    if (i > 0) line += "\"schema\":4,";
    line += "\"time\":" + Quoted(u.time);
    if (!u.station.empty()) line += ",\"host\":" + Quoted(u.station);
    line += ",\"unit\":\"/dev/ttyUSB0\"";
    if (!u.serial.empty()) line += ",\"serial\":" + Quoted(u.serial);
    if (!u.label.empty()) line += ",\"label\":" + Quoted(u.label);
    line += ",\"model\":\"KR2-E\",\"image\":\"/srv/images/KR2-E_v1.4.bin\",\"size\":917504";
    if (i > 0)
      line += ",\"sha256\":\"06d9b8a0e3b9124c7b3db71795f2267e6716c2e7e95a4b6c4f1a6e9161813be3\"";
    line += ",\"outcome\":" + Quoted(u.outcome) +
            ",\"caption\":\"ERROR\",\"message\":" + Quoted(u.message) +
            ",\"exit\":0,\"seconds\":" + seconds;
    if (u.verified >= 0) line += u.verified ? ",\"verified\":true" : ",\"verified\":false";
    if (i > 0) line += ",\"serialAfterReplug\":null";
    if (!u.reason.empty()) line += ",\"reason\":" + Quoted(u.reason);
    if (!u.hint.empty()) line += ",\"hint\":" + Quoted(u.hint);
    text += line + "}\n";
    // A station that lost power in the middle of a line.
    if (i == 30) text += "{\"time\":\"2026-12-08T10:30:00Z\",\"unit\":\"/dev/tty\n";
  }
  return text;
}

std::string Program(const std::string& name) {
  std::stringstream path(getenv("PATH") ? getenv("PATH") : "");
  for (std::string dir; std::getline(path, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Text of markup: tags dropped, the references a page or Chromium writes
// read back.
std::string TextOf(std::string html) {
  std::string text;
  bool tag = false;
  for (const char c : html) {
    if (c == '<' || c == '>') {
      tag = c == '<';
    } else if (!tag) {
      text += c;
    }
  }
  for (const auto& [from, to] :
       {std::pair{"&lt;", "<"}, std::pair{"&gt;", ">"}, std::pair{"&quot;", "\""},
        std::pair{"&#39;", "'"}, std::pair{"&amp;", "&"}}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, strlen(from), to);
  }
  return text;
}

struct Row {
  std::string attributes;  // of its <tr>
  std::vector<std::string> cells;
};

// The body rows of the table with this id.
std::vector<Row> TableRows(const std::string& html, const std::string& id) {
  std::vector<Row> rows;
  const size_t table = html.find("id=\"" + id + "\"");
  if (table == std::string::npos) return rows;
  size_t at = html.find("<tbody>", table);
  const size_t end = html.find("</table>", table);
  while ((at = html.find("<tr", at)) < end) {
    Row row;
    const size_t open = html.find('>', at);
    row.attributes = html.substr(at + 3, open - at - 3);
    const size_t close = html.find("</tr>", open);
    for (size_t cell = open; (cell = html.find("<t", cell + 1)) < close;) {
      const size_t body = html.find('>', cell) + 1;
      const char kind = html[cell + 2];
      const size_t stop = html.find(kind == 'h' ? "</th>" : "</td>", body);
      row.cells.push_back(TextOf(html.substr(body, stop - body)));
      cell = stop;
    }
    rows.push_back(row);
    at = close;
  }
  return rows;
}

std::string Total(const std::string& html, const std::string& key) {
  const size_t at = html.find("data-total=\"" + key + "\">");
  if (at == std::string::npos) return "(missing)";
  const size_t body = html.find('>', at) + 1;
  return TextOf(html.substr(body, html.find('<', body) - body));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

std::string Seconds(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f s", value);
  return text;
}

class ReportPage : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/report_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    units_ = MakeUnits();
    std::ofstream(dir_ / "units.jsonl", std::ios::binary) << RecordsFile(units_);
    ASSERT_EQ(Report({"--title", "Line <1>", "-o", (dir_ / "report.html").string()}), 0);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static int Report(std::vector<std::string> args) {
    args.push_back((dir_ / "units.jsonl").string());
    ChildProcess report(MORVIX_REPORT, args, "", ChildOutput::kPipe, (dir_ / "stderr").string());
    report.ReadAll();
    return report.Wait(std::chrono::seconds(30));
  }

  // The page as Chromium shows it once its script ran; empty, with the test
  // skipped, where Chromium is not installed.
  static std::string Rendered(const std::string& fragment) {
    const std::string chromium = Program("chromium");
    if (chromium.empty()) return "";
    static int run = 0;
    const std::string profile = (dir_ / ("profile" + std::to_string(run++))).string();
    ChildProcess browser(
        chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile, "--dump-dom",
         "file://" + (dir_ / "report.html").string() + fragment},
        "", ChildOutput::kPipe, (dir_ / "chromium.stderr").string());
    const std::string dom = browser.ReadAll(std::chrono::seconds(90));
    EXPECT_EQ(browser.Wait(std::chrono::seconds(30)), 0) << ReadFile(dir_ / "chromium.stderr");
    return dom;
  }

  // The same checks on the page as written and as rendered.
  static void ChecksPage(const std::string& html) {
    int succeeded = 0, failed = 0, interrupted = 0, notVerified = 0, checked = 0;
    std::vector<double> durations;
    std::map<std::string, std::vector<int>> byStation;  // units, succeeded, failed, interrupted
    for (const Unit& u : units_) {
      auto& station = byStation[u.station.empty() ? "(unknown)" : u.station];
      station.resize(4);
      ++station[0];
      if (u.outcome == "success") {
        ++succeeded;
        ++station[1];
        durations.push_back(u.seconds);
      }
      failed += u.outcome == "failure";
      station[2] += u.outcome == "failure";
      interrupted += u.outcome == "interrupted";
      station[3] += u.outcome == "interrupted";
      notVerified += u.verified == 0 && u.outcome == "success";
      checked += u.verified >= 0 && u.outcome == "success";
    }
    ASSERT_EQ(failed, 7);  // the three kinds
    std::sort(durations.begin(), durations.end());
    const size_t n = durations.size();
    EXPECT_EQ(Total(html, "units"), "50");
    EXPECT_EQ(Total(html, "succeeded"), std::to_string(succeeded));
    EXPECT_EQ(Total(html, "failed"), "7");
    EXPECT_EQ(Total(html, "interrupted"), "2");
    EXPECT_EQ(Total(html, "not-verified"), "1");
    EXPECT_NE(html.find("(of " + std::to_string(checked) + " checked)"), std::string::npos);
    char rate[16];
    std::snprintf(rate, sizeof rate, "%.1f %%", 100.0 * succeeded / 50);
    EXPECT_EQ(Total(html, "success-rate"), rate);
    EXPECT_EQ(Total(html, "median"), Seconds((durations[(n - 1) / 2] + durations[n / 2]) / 2));
    EXPECT_EQ(
        Total(html, "p95"),
        Seconds(durations[static_cast<size_t>(std::ceil(0.95 * static_cast<double>(n))) - 1]));
    EXPECT_EQ(Total(html, "first"), "2026-12-08 06:00:00");
    EXPECT_EQ(Total(html, "last"), TimeText(*ParseUtcTime(units_.back().time), ' '));
    EXPECT_EQ(Total(html, "not-records"), "1");

    std::map<std::string, std::vector<int>> shownStations;
    for (const Row& row : TableRows(html, "by-station")) {
      for (int column = 1; column <= 4; ++column) {
        shownStations[row.cells.at(0)].push_back(std::stoi(row.cells.at(column)));
      }
    }
    EXPECT_EQ(shownStations, byStation);

    std::map<std::string, int> kinds, shownKinds;
    std::map<std::string, std::string> hints, shownHints;
    for (const Kind& kind : kKinds) {
      kinds[kind.message] = static_cast<int>(kind.units.size());
      hints[kind.message] = *kind.hint ? kind.hint : "see the message's entry in the documentation";
    }
    for (const Row& row : TableRows(html, "failures")) {
      shownKinds[row.cells.at(0)] = std::stoi(row.cells.at(2));
      shownHints[row.cells.at(0)] = row.cells.at(5);
      if (row.cells[0] == kKinds[2].message) {
        EXPECT_EQ(row.cells.at(1), kKinds[2].reason);
      }
    }
    EXPECT_EQ(shownKinds, kinds);
    EXPECT_EQ(shownHints, hints);

    // 06:00 to 14:43: nine hours, two of them (09:00 and 10:00) without an
    // update.
    std::set<int64_t> hours;
    for (const Unit& u : units_) hours.insert(*ParseUtcTime(u.time) / 3600);
    const int64_t bars = *hours.rbegin() - *hours.begin() + 1;
    ASSERT_EQ(bars, 9);
    EXPECT_EQ(Count(html, "<g class=\"bar\">"), 9u);
    EXPECT_EQ(Count(html, "<rect class=\"idle\""), static_cast<size_t>(bars) - hours.size());

    // The label is text in its cell; the page's one script is its own.
    const std::vector<Row> rows = TableRows(html, "units");
    ASSERT_EQ(rows.size(), 50u);
    EXPECT_EQ(rows.front().cells.at(0), TimeText(*ParseUtcTime(units_.back().time), ' '));
    const auto scripted = std::find_if(
        rows.begin(), rows.end(), [](const Row& row) { return row.cells.at(3) == kScriptLabel; });
    EXPECT_NE(scripted, rows.end());
    EXPECT_EQ(Count(html, "<script"), 1u);
    EXPECT_NE(html.find("<title>Line &lt;1&gt;</title>"), std::string::npos);
  }

  static inline std::filesystem::path dir_;
  static inline std::vector<Unit> units_;
};

TEST_F(ReportPage, AsWrittenShowsEveryTotalStationFailureHourAndUnit) {
  ChecksPage(ReadFile(dir_ / "report.html"));
}

TEST_F(ReportPage, InChromiumShowsTheSame) {
  const std::string dom = Rendered("");
  if (dom.empty() && Program("chromium").empty()) GTEST_SKIP() << "chromium is not installed";
  ChecksPage(dom);
  EXPECT_NE(dom.find("<title>Line &lt;1&gt;</title>"), std::string::npos) << "a label's script ran";
}

// #q=TEXT in the address leaves the rows that hold TEXT shown, the others
// hidden: one unit by its label, the unit whose label has markup in it, a
// station's units.
TEST_F(ReportPage, InChromiumTheAddressFiltersTheUnits) {
  if (Program("chromium").empty()) GTEST_SKIP() << "chromium is not installed";
  const std::pair<std::string, std::string> cases[] = {
      {"LBL-0042", "LBL-0042"},
      {"%3Cscript%3Edocument", "<script>document"},
      {"Station-B", "station-b"},
  };
  for (const auto& [fragment, text] : cases) {
    SCOPED_TRACE(fragment);
    std::vector<std::string> expected, shown;
    for (const Row& row : TableRows(ReadFile(dir_ / "report.html"), "units")) {
      if (row.cells.at(3).find(text) != std::string::npos ||
          row.cells.at(1).find(text) != std::string::npos) {
        expected.push_back(row.cells.at(0));
      }
    }
    ASSERT_FALSE(expected.empty());
    const std::vector<Row> rows = TableRows(Rendered("#q=" + fragment), "units");
    ASSERT_EQ(rows.size(), 50u);
    for (const Row& row : rows) {
      if (row.attributes.find("hidden") == std::string::npos) shown.push_back(row.cells.at(0));
    }
    EXPECT_EQ(shown, expected);
  }
}

// The period asked for, and what the program refuses.
TEST_F(ReportPage, OptionsChooseThePeriodAndRefuseWhatMakesNoPage) {
  struct Case {
    std::vector<std::string> args;
    int status;
    int units;  // on the page written; -1 for none
  };
  int afterTen = 0;
  for (const Unit& u : units_) afterTen += u.time >= "2026-12-08T10:00:00Z";
  const std::string out = (dir_ / "period.html").string();
  const Case cases[] = {
      {{"--since", "2026-12-08T10:00:00Z", "--until", "2026-12-08", "-o", out}, 0, afterTen},
      {{"--until=2026-12-08T09:59:59Z", "--output=" + out}, 0, 50 - afterTen},
      {{"--since", "2026-12-09", "-o", out}, 0, 0},
      {{"--since", "yesterday", "-o", out}, 2, -1},
      {{"--since", "2026-12-09", "--until", "2026-12-08", "-o", out}, 2, -1},
      {{"--colour", "-o", out}, 2, -1},
      {{"-o", (dir_ / "no-such-folder" / "r.html").string()}, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::filesystem::remove(out);
    EXPECT_EQ(Report(c.args), c.status) << ReadFile(dir_ / "stderr");
    EXPECT_EQ(std::filesystem::exists(out), c.units >= 0);
    if (c.units >= 0) {
      EXPECT_EQ(Total(ReadFile(out), "units"), std::to_string(c.units));
    }
  }
}

}  // namespace
