// SPDX-License-Identifier: MIT
#include "report/page.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "util/text.h"

namespace {

constexpr std::string_view kStyle = R"(
:root { --ok: #2e7d32; --fail: #c62828; --int: #ef8f00; --idle: #eceff1; --line: #d0d7de; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, "Segoe UI", Roboto, "DejaVu Sans", Arial, sans-serif;
       color: #1f2328; background: #f6f8fa; }
header { padding: 16px 24px 8px; background: #24292f; color: #fff; }
header h1 { margin: 0 0 4px; font-size: 22px; }
header p { margin: 0 0 8px; color: #d0d7de; }
main { padding: 8px 24px 32px; }
h2 { font-size: 17px; margin: 24px 0 8px; }
section { max-width: 100%; }
#totals { display: flex; flex-wrap: wrap; gap: 8px; margin-top: 16px; }
.card { background: #fff; border: 1px solid var(--line); border-radius: 6px; padding: 8px 14px;
        min-width: 120px; }
.card .n { display: block; font-size: 24px; font-weight: 600; white-space: nowrap; }
.card .k { color: #57606a; font-size: 12px; }
.card.ok .n { color: var(--ok); } .card.fail .n { color: var(--fail); }
.card.int .n { color: var(--int); } .card .n.small { font-size: 15px; padding: 6px 0 3px; }
.scroll { overflow-x: auto; background: #fff; border: 1px solid var(--line); border-radius: 6px; }
table { border-collapse: collapse; background: #fff; width: 100%; }
th, td { padding: 4px 6px; border-bottom: 1px solid #eaeef2; text-align: left; vertical-align: top; }
tbody th { white-space: nowrap; }
thead th { position: sticky; top: 0; background: #f6f8fa; font-weight: 600; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.t, #units td:first-child { white-space: nowrap; font-variant-numeric: tabular-nums; }
#units td:last-child { text-align: right; font-variant-numeric: tabular-nums; }
.sha { font-family: ui-monospace, "DejaVu Sans Mono", Consolas, monospace; font-size: 12px;
       white-space: nowrap; }
.o-success { color: var(--ok); } .o-failure { color: var(--fail); font-weight: 600; }
.o-interrupted { color: var(--int); font-weight: 600; }
.none { color: #8c959f; }
svg text { font-size: 11px; fill: #57606a; }
svg .s { fill: var(--ok); } svg .f { fill: var(--fail); } svg .i { fill: var(--int); }
svg .idle { fill: var(--idle); } svg .grid { stroke: #eaeef2; } svg .axis { stroke: #8c959f; }
.legend { display: flex; gap: 16px; margin: 6px 0 0; color: #57606a; font-size: 12px; }
.legend span::before { content: ""; display: inline-block; width: 10px; height: 10px;
                       margin-right: 5px; vertical-align: -1px; background: var(--c); }
#filter-row { margin: 0 0 8px; }
#filter { width: 24em; max-width: 100%; padding: 4px 8px; font: inherit; }
#shown { margin-left: 12px; color: #57606a; }
ul.bad { background: #fff; border: 1px solid var(--line); border-radius: 6px; padding: 8px 8px 8px 28px; }
ul.bad code { word-break: break-all; }
a { color: #0969da; }
@media print { header { background: none; color: #000; } thead th { position: static; } #filter-row { display: none; } }
)";

// The filter: every unit row whose text (a failure's message included)
// holds what is typed, or the address's #q=TEXT, stays; the others are
// hidden. The table is whole without it.
constexpr std::string_view kScript = R"(
(function () {
  var box = document.getElementById('filter');
  var shown = document.getElementById('shown');
  var rows = document.getElementById('units').tBodies[0].rows;
  var texts = null, timer = 0;
  function rowText(row) {
    var parts = [];
    for (var c = 0; c < row.cells.length; c++) parts.push(row.cells[c].textContent, row.cells[c].title);
    return parts.join('\n').toLowerCase();
  }
  function apply() {
    var q = box.value.trim().toLowerCase(), n = 0, i;
    if (q && !texts) {
      texts = [];
      for (i = 0; i < rows.length; i++) texts.push(rowText(rows[i]));
    }
    for (i = 0; i < rows.length; i++) {
      var hide = q !== '' && texts[i].indexOf(q) < 0;
      if (rows[i].hidden !== hide) rows[i].hidden = hide;
      if (!hide) n++;
    }
    shown.textContent = q ? n + ' of ' + rows.length + ' units match' : rows.length + ' units';
  }
  function fromAddress() {
    var m = /^#q=(.*)$/.exec(location.hash);
    if (m) {
      try { box.value = decodeURIComponent(m[1]); } catch (e) { box.value = m[1]; }
    }
    apply();
  }
  box.addEventListener('input', function () {
    clearTimeout(timer);
    timer = setTimeout(function () {
      try {
        history.replaceState(null, '', box.value ? '#q=' + encodeURIComponent(box.value)
                                                 : location.pathname + location.search);
      } catch (e) {}
      apply();
    }, rows.length > 20000 ? 300 : 0);
  });
  window.addEventListener('hashchange', fromAddress);
  document.getElementById('filter-row').hidden = false;
  fromAddress();
})();
)";

// Buffers the page and writes it in large pieces.
class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file) { out_.reserve(kChunk + 4096); }
  Writer& operator<<(std::string_view raw) {
    out_ += raw;
    return Flush();
  }
  Writer& Text(std::string_view text) {
    AppendHtml(out_, text);
    return Flush();
  }
  Writer& Number(uint64_t n) { return *this << Grouped(n); }
  bool Finish() {
    Flush(true);
    return ok_ && std::fflush(file_) == 0;
  }

  // 1234567 as "1,234,567".
  static std::string Grouped(uint64_t n) {
    std::string digits = std::to_string(n);
    for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  Writer& Flush(bool all = false) {
    if (out_.size() >= kChunk || (all && !out_.empty())) {
      ok_ = ok_ && std::fwrite(out_.data(), 1, out_.size(), file_) == out_.size();
      out_.clear();
    }
    return *this;
  }
  std::FILE* file_;
  std::string out_;
  bool ok_ = true;
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Seconds(double seconds) {
  return seconds < 0 ? std::string("—") : Format("%.1f s", seconds);
}

std::string Rate(uint64_t part, uint64_t whole) {
  return whole == 0
             ? std::string("—")
             : Format("%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// A text as the value of the address's #q=, percent-encoded.
std::string QueryLink(std::string_view text) {
  std::string link = "#q=";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      link += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      link += hex;
    }
  }
  return link;
}

constexpr std::string_view kUnknownStation = "(unknown)";

void Card(Writer& w, std::string_view key, std::string_view label, const std::string& value,
          std::string_view kind = "", std::string_view note = "") {
  w << "<div class=\"card" << (kind.empty() ? "" : " ") << kind << "\"><span class=\"n"
    << (value.size() > 12 ? " small" : "") << "\" data-total=\"" << key << "\">";
  w.Text(value) << "</span><span class=\"k\">" << label;
  if (!note.empty()) w << " " << note;
  w << "</span></div>\n";
}

void Totals(Writer& w, Summary& summary) {
  Tally& total = summary.total;
  const Durations durations = DurationsOf(total.durations);
  w << "<section id=\"totals\" aria-label=\"Totals\">\n";
  Card(w, "units", "units", Writer::Grouped(total.units));
  Card(w, "succeeded", "succeeded", Writer::Grouped(total.succeeded), "ok");
  Card(w, "failed", "failed", Writer::Grouped(total.failed), total.failed ? "fail" : "");
  Card(w, "interrupted", "interrupted", Writer::Grouped(total.interrupted),
       total.interrupted ? "int" : "");
  const uint64_t checked = total.verified + total.notVerified;
  const std::string of = checked ? "(of " + Writer::Grouped(checked) + " checked)"
                                 : std::string("(no update was checked)");
  Card(w, "not-verified", "not verified", Writer::Grouped(total.notVerified),
       total.notVerified ? "fail" : "", of);
  Card(w, "success-rate", "success rate", Rate(total.succeeded, total.units));
  Card(w, "median", "median update", Seconds(durations.median), "", "(succeeded)");
  Card(w, "p95", "95th percentile", Seconds(durations.p95), "", "(succeeded)");
  Card(w, "first", "first record (UTC)", total.units ? UtcText(total.first) : "—");
  Card(w, "last", "last record (UTC)", total.units ? UtcText(total.last) : "—");
  w << "</section>\n";
}

// 1, 2 or 5 times a power of ten, at least `n`.
uint64_t RoundUp(uint64_t n) {
  for (uint64_t step = 1;; step *= 10) {
    for (const uint64_t m : {1, 2, 5}) {
      if (m * step >= n) return m * step;
    }
  }
}

std::string BarLabel(int64_t start, int64_t barSeconds, bool withDay) {
  const std::string text = UtcText(start);  // "2026-12-08 05:00:00"
  if (barSeconds == 3600)
    return withDay ? text.substr(5, 5) + " " + text.substr(11, 5) : text.substr(11, 5);
  if (barSeconds == 86400) return text.substr(5, 5);
  return text.substr(0, 10);
}

void Chart(Writer& w, const Summary& summary) {
  const std::string_view per = summary.barSeconds == 3600        ? "hour"
                               : summary.barSeconds == 86400     ? "day"
                               : summary.barSeconds == 7 * 86400 ? "week"
                                                                 : "period";
  w << "<section id=\"chart\"><h2>Updates per " << per << " (UTC)</h2>\n";
  const size_t n = summary.bars.size();
  if (n == 0) {
    w << "<p class=\"none\">No records.</p></section>\n";
    return;
  }
  uint64_t most = 1;
  for (const HourBar& bar : summary.bars) {
    most = std::max(most, bar.succeeded + bar.failed + bar.interrupted);
  }
  // Gridlines at a round step, at most four of them, the top one just
  // above the busiest bar.
  const uint64_t step = RoundUp((most + 3) / 4);
  const uint64_t top = step * ((most + step - 1) / step);
  const int barWidth = std::clamp(static_cast<int>(1180 / n), 3, 80);
  const int gap = barWidth >= 8 ? 2 : barWidth >= 5 ? 1 : 0;
  const int left = 44, plot = 180, bottom = 36, right = 8;
  const int width = left + static_cast<int>(n) * barWidth + right;
  const int height = plot + 10 + bottom;
  const int y0 = 10 + plot;  // the baseline
  char piece[256];
  std::snprintf(piece, sizeof piece,
                "<div class=\"scroll\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
                "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"Updates per %s\">\n",
                width, height, width, height, std::string(per).c_str());
  w << piece;
  for (uint64_t value = 0; value <= top; value += step) {
    const int y = y0 - static_cast<int>(static_cast<double>(plot) * static_cast<double>(value) /
                                        static_cast<double>(top));
    std::snprintf(piece, sizeof piece,
                  "<line class=\"grid\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/><text x=\"%d\" "
                  "y=\"%d\" text-anchor=\"end\">%s</text>\n",
                  left, width - right, y, y, left - 6, y + 4, Writer::Grouped(value).c_str());
    w << piece;
  }
  const int labelEvery = std::max(1, (summary.barSeconds == 3600 ? 44 : 40) / barWidth);
  std::string lastDay;
  for (size_t i = 0; i < n; ++i) {
    const HourBar& bar = summary.bars[i];
    const int64_t start = summary.firstBar + static_cast<int64_t>(i) * summary.barSeconds;
    const int x = left + static_cast<int>(i) * barWidth;
    const uint64_t count = bar.succeeded + bar.failed + bar.interrupted;
    w << "<g class=\"bar\"><title>" << UtcText(start).substr(0, 16)
      << " UTC: " << Writer::Grouped(count) << " update" << (count == 1 ? "" : "s");
    if (count) {
      w << " (" << Writer::Grouped(bar.succeeded) << " succeeded, " << Writer::Grouped(bar.failed)
        << " failed";
      if (bar.interrupted) w << ", " << Writer::Grouped(bar.interrupted) << " interrupted";
      w << ")";
    }
    w << "</title>";
    if (count == 0) {
      // A stop of the line: the whole height, pale, so that it shows.
      std::snprintf(piece, sizeof piece,
                    "<rect class=\"idle\" x=\"%d\" y=\"10\" width=\"%d\" height=\"%d\"/>", x,
                    barWidth, plot);
      w << piece;
    }
    double y = y0;
    for (const auto& [part, cls] : {std::pair{bar.succeeded, "s"}, std::pair{bar.failed, "f"},
                                    std::pair{bar.interrupted, "i"}}) {
      if (part == 0) continue;
      const double h =
          static_cast<double>(plot) * static_cast<double>(part) / static_cast<double>(top);
      y -= h;
      std::snprintf(piece, sizeof piece,
                    "<rect class=\"%s\" x=\"%d\" y=\"%.2f\" width=\"%d\" height=\"%.2f\"/>", cls,
                    x + gap / 2, y, barWidth - gap, h);
      w << piece;
    }
    w << "</g>\n";
    if (i % static_cast<size_t>(labelEvery) == 0) {
      const std::string day = UtcText(start).substr(0, 10);
      const bool withDay = day != lastDay;
      lastDay = day;
      std::snprintf(piece, sizeof piece,
                    "<line class=\"axis\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/><text x=\"%d\" "
                    "y=\"%d\">%s</text>\n",
                    x, x, y0, y0 + 4, x, y0 + 16,
                    BarLabel(start, summary.barSeconds, false).c_str());
      w << piece;
      if (withDay && summary.barSeconds == 3600) {
        std::snprintf(piece, sizeof piece, "<text x=\"%d\" y=\"%d\">%s</text>\n", x, y0 + 30,
                      day.substr(5).c_str());
        w << piece;
      }
    }
  }
  std::snprintf(piece, sizeof piece,
                "<line class=\"axis\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>\n", left,
                width - right, y0, y0);
  w << piece << "</svg></div>\n";
  w << "<p class=\"legend\"><span style=\"--c: var(--ok)\">succeeded</span><span style=\"--c: "
       "var(--fail)\">failed</span><span style=\"--c: var(--int)\">interrupted</span><span "
       "style=\"--c: var(--idle)\">no update</span></p>\n</section>\n";
}

void Failures(Writer& w, const UnitRecords& records, const Summary& summary) {
  w << "<section><h2>Failures by message and reason</h2>\n";
  if (summary.failures.empty()) {
    w << "<p class=\"none\" id=\"failures\">No failures.</p></section>\n";
    return;
  }
  w << "<div class=\"scroll\"><table id=\"failures\"><thead><tr><th>Message</th><th>Why</th>"
       "<th class=\"n\">Units</th><th>Stations</th><th>Last (UTC)</th><th>What to do</th></tr>"
       "</thead><tbody>\n";
  for (const FailureKind& kind : summary.failures) {
    w << "<tr><td><a href=\"";
    w.Text(QueryLink(records.Text(kind.message))) << "\">";
    w.Text(records.Text(kind.message)) << "</a></td><td>";
    if (kind.reason == 0) {
      w << "<span class=\"none\">—</span>";
    } else {
      w.Text(records.Text(kind.reason));
    }
    w << "</td><td class=\"n\">" << Writer::Grouped(kind.units) << "</td><td>";
    for (size_t i = 0; i < kind.hosts.size(); ++i) {
      if (i) w << ", ";
      const uint32_t host = kind.hosts[i];
      w.Text(host ? records.Text(host) : kUnknownStation);
    }
    w << "</td><td class=\"t\">" << UtcText(kind.last) << "</td><td>";
    if (kind.hint == 0) {
      w << "<span class=\"none\">see the message's entry in the documentation</span>";
    } else {
      w.Text(records.Text(kind.hint));
    }
    w << "</td></tr>\n";
  }
  w << "</tbody></table></div></section>\n";
}

template <typename Key>
void Groups(Writer& w, const UnitRecords& records, std::map<Key, Tally>& groups,
            std::string_view id, std::string_view heading, std::string_view what) {
  std::vector<std::pair<const Key, Tally>*> order;
  for (auto& entry : groups) order.push_back(&entry);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto* a, const auto* b) { return a->second.units > b->second.units; });
  constexpr bool kImage = !std::is_same_v<Key, uint32_t>;
  w << "<section><h2>" << heading << "</h2>\n<div class=\"scroll\"><table id=\"" << id
    << "\"><thead><tr><th>" << what << "</th>" << (kImage ? "<th>SHA-256</th>" : "")
    << "<th class=\"n\">Units</th><th class=\"n\">Succeeded</th><th class=\"n\">Failed</th>"
       "<th class=\"n\">Interrupted</th><th class=\"n\">Not verified</th>"
       "<th class=\"n\">Success rate</th><th class=\"n\">Median</th><th class=\"n\">95th pct.</th>"
       "<th>First (UTC)</th><th>Last (UTC)</th></tr></thead><tbody>\n";
  for (auto* entry : order) {
    Tally& tally = entry->second;
    uint32_t name = 0;
    if constexpr (kImage) {
      name = entry->first.first;
    } else {
      name = entry->first;
    }
    std::string_view shown = records.Text(name);
    if (name == 0) shown = std::string_view(id) == "by-station" ? kUnknownStation : "(none)";
    w << "<tr><th scope=\"row\"><a href=\"";
    w.Text(QueryLink(shown)) << "\">";
    w.Text(shown) << "</a></th>";
    if constexpr (kImage) {
      // Enough of it to tell images apart; the whole of it on hovering.
      const std::string_view sha = records.Text(entry->first.second);
      w << "<td class=\"sha\" title=\"";
      w.Text(sha) << "\">";
      if (sha.empty()) {
        w << "<span class=\"none\">—</span>";
      } else {
        w.Text(sha.substr(0, 12)) << (sha.size() > 12 ? "…" : "");
      }
      w << "</td>";
    }
    const Durations durations = DurationsOf(tally.durations);
    w << "<td class=\"n\">" << Writer::Grouped(tally.units) << "</td><td class=\"n\">"
      << Writer::Grouped(tally.succeeded) << "</td><td class=\"n\">"
      << Writer::Grouped(tally.failed) << "</td><td class=\"n\">"
      << Writer::Grouped(tally.interrupted) << "</td><td class=\"n\">"
      << Writer::Grouped(tally.notVerified) << "</td><td class=\"n\">"
      << Rate(tally.succeeded, tally.units) << "</td><td class=\"n\">" << Seconds(durations.median)
      << "</td><td class=\"n\">" << Seconds(durations.p95) << "</td><td class=\"t\">"
      << UtcText(tally.first).substr(0, 16) << "</td><td class=\"t\">"
      << UtcText(tally.last).substr(0, 16) << "</td></tr>\n";
    // Their durations are no longer needed: a year's would stay in memory.
    std::vector<float>().swap(tally.durations);
  }
  w << "</tbody></table></div></section>\n";
}

void BadLines(Writer& w, const PageFacts& facts) {
  if (facts.badLineCount == 0) return;
  w << "<section id=\"not-records\"><h2>Lines that are not records: <span "
       "data-total=\"not-records\">"
    << Writer::Grouped(facts.badLineCount) << "</span></h2>\n<ul class=\"bad\">\n";
  for (const BadLine& bad : facts.badLines) {
    w << "<li>";
    w.Text(bad.file) << ", line " << Writer::Grouped(bad.line) << ": ";
    w.Text(bad.why) << ": <code>";
    w.Text(bad.text) << "</code></li>\n";
  }
  if (facts.badLineCount > facts.badLines.size()) {
    w << "<li>and " << Writer::Grouped(facts.badLineCount - facts.badLines.size())
      << " more</li>\n";
  }
  w << "</ul></section>\n";
}

void Units(Writer& w, const UnitRecords& records, const Summary& summary) {
  const std::vector<UnitRow>& rows = records.rows();
  w << "<section><h2>Units, newest first</h2>\n<p id=\"filter-row\" hidden><label>Filter: <input "
       "id=\"filter\" type=\"search\" placeholder=\"label, serial, station, message…\" "
       "autocomplete=\"off\"></label><span id=\"shown\"></span></p>\n<div class=\"scroll\"><table "
       "id=\"units\"><thead><tr><th>Time (UTC)</th><th>Station</th><th>Unit</th><th>Label</th>"
       "<th>Serial</th><th>Model</th><th>Image</th><th>Outcome</th><th class=\"n\">Seconds</th>"
       "</tr></thead><tbody>\n";
  static constexpr std::string_view kOutcomes[] = {"success", "failure", "interrupted"};
  for (const uint32_t index : summary.newestFirst) {
    const UnitRow& row = rows[index];
    // No classes on the cells: the style places them by column, and a year
    // of rows is a fifth of a gigabyte.
    w << "<tr><td>" << UtcText(row.time) << "</td><td>";
    w.Text(row.host ? records.Text(row.host) : kUnknownStation) << "</td><td>";
    w.Text(records.Text(row.unit)) << "</td><td>";
    w.Text(records.Unique(row.label)) << "</td><td>";
    w.Text(records.Unique(row.serial)) << "</td><td>";
    w.Text(records.Text(row.model)) << "</td><td>";
    w.Text(records.Text(row.image)) << "</td>";
    const std::string_view outcome = kOutcomes[static_cast<int>(row.outcome)];
    w << "<td class=\"o-" << outcome << "\"";
    if (row.message != 0) {
      w << " title=\"";
      w.Text(records.Text(row.message)) << "\"";
    }
    w << ">" << outcome
      << (row.verified == 0 && row.outcome == Outcome::kSuccess ? ", not verified" : "")
      << "</td><td>" << (row.seconds < 0 ? std::string() : Format("%.1f", row.seconds))
      << "</td></tr>\n";
  }
  w << "</tbody></table></div></section>\n";
}

}  // namespace

void AppendHtml(std::string& out, std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    // Runs of printable ASCII without markup characters, the most of any
    // record, are copied as they are.
    size_t plain = at;
    while (plain < text.size()) {
      const auto b = static_cast<unsigned char>(text[plain]);
      if (b < 0x20 || b >= 0x7F || b == '&' || b == '<' || b == '>' || b == '"' || b == '\'') break;
      ++plain;
    }
    out.append(text.substr(at, plain - at));
    at = plain;
    if (at == text.size()) break;
    const size_t length = Utf8SequenceAt(text, at);
    const auto c = static_cast<unsigned char>(text[at]);
    if (length > 1) {
      out.append(text.substr(at, length));
    } else if (length == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
      out += "\xEF\xBF\xBD";
    } else {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += static_cast<char>(c);
      }
    }
    at += std::max<size_t>(length, 1);
  }
}

bool WritePage(std::FILE* file, const UnitRecords& records, Summary& summary,
               const PageFacts& facts) {
  Writer w(file);
  w << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<meta "
       "name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  w.Text(facts.title) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n<header><h1>";
  w.Text(facts.title) << "</h1>\n<p>" << Writer::Grouped(summary.total.units) << " unit record"
                      << (summary.total.units == 1 ? "" : "s");
  if (summary.total.units) {
    w << " from " << UtcText(summary.total.first) << " to " << UtcText(summary.total.last)
      << " UTC";
  }
  if (!facts.period.empty()) {
    w << " (";
    w.Text(facts.period);
    if (facts.leftOut) w << "; " << Writer::Grouped(facts.leftOut) << " outside left out";
    w << ")";
  }
  w << ". Made " << facts.made << " UTC by morvix-report from ";
  for (size_t i = 0; i < facts.files.size(); ++i) {
    if (i) w << ", ";
    w.Text(facts.files[i].name) << " (" << Writer::Grouped(facts.files[i].records) << ")";
  }
  w << ".</p>\n</header>\n<main>\n";
  Totals(w, summary);
  Chart(w, summary);
  Failures(w, records, summary);
  Groups(w, records, summary.byHost, "by-station", "By station", "Station");
  Groups(w, records, summary.byModel, "by-model", "By model", "Model");
  Groups(w, records, summary.byImage, "by-image", "By image", "Image");
  BadLines(w, facts);
  Units(w, records, summary);
  w << "</main>\n<script>" << kScript << "</script>\n</body>\n</html>\n";
  return w.Finish();
}
