// write_comparison: the report of compare, as tables with a comment line
// above each and the verdict last.
#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "access_text.h"
#include "compare.h"

namespace zephon_trace {

namespace {

using Row = std::vector<std::string>;

// Returns nothing; prints rows under a heading, each column as wide as its
// widest cell, two spaces apart; align has 'l' or 'r' per column.
void write_table(Output& out, const Row& heading, const std::vector<Row>& rows, std::string_view align) {
  std::vector<std::size_t> width(heading.size());
  for (std::size_t c = 0; c < heading.size(); ++c) {
    width[c] = heading[c].size();
    for (const Row& r : rows) width[c] = std::max(width[c], r[c].size());
  }
  auto line = [&](const Row& r) {
    std::string text;
    for (std::size_t c = 0; c < r.size(); ++c) {
      const bool last = c + 1 == r.size();
      if (c < align.size() && align[c] == 'r') text += fmt::format("{:>{}}", r[c], width[c]);
      else text += last ? r[c] : fmt::format("{:<{}}", r[c], width[c]);
      if (!last) text += "  ";
    }
    out.print("{}\n", text);
  };
  line(heading);
  for (const Row& r : rows) line(r);
}

std::string text_of(auto append) {
  fmt::memory_buffer b;
  append(b);
  return fmt::to_string(b);
}

std::string value_text(std::uint64_t value, std::uint8_t width) {
  return text_of([&](fmt::memory_buffer& b) { append_value(b, value, width); });
}

std::string index_text(const Step& s) {
  return text_of([&](fmt::memory_buffer& b) { append_register(b, s.index, s.byte, nullptr); });
}

std::string offset_text(const Step& s) { return fmt::format("{:#x}", byte_offset(s.index) + s.byte); }

std::string name_text(const Step& s, const RegisterNames* names) {
  const std::string_view name = names != nullptr ? names->name(s.index) : std::string_view();
  return name.empty() ? "-" : std::string(name);
}

// Returns "read 0x30d3 RLC_STAT = 0x00000006", or "its end".
std::string step_text(const std::vector<Step>& steps, std::size_t i, const RegisterNames* names) {
  if (i >= steps.size()) return "its end";
  const Step& s = steps[i];
  return text_of([&](fmt::memory_buffer& b) {
    append_verb(b, s.op, s.width);
    b.push_back(' ');
    append_register(b, s.index, s.byte, names);
    append_text(b, " = ");
    append_value(b, s.value, s.width);
  });
}

// Returns "access 1234 (line 1240)", or "the end after N accesses".
std::string where(const Recording& r, std::size_t i) {
  if (i >= r.steps().size()) return fmt::format("the end after {} accesses", r.accesses());
  return fmt::format("access {} (line {})", r.steps()[i].access, r.steps()[i].line);
}

void write_context(Output& out, const Recording& a, const Recording& b, std::size_t at, const CompareReport& report) {
  const bool named = report.names != nullptr;
  Row heading = {"side", "", "step", "access", "line", "op", "index", "offset"};
  if (named) heading.push_back("name");
  heading.insert(heading.end(), {"value", "count"});
  std::vector<Row> rows;
  for (const auto& [side, r] : {std::pair{"A", &a}, std::pair{"B", &b}}) {
    const auto& steps = r->steps();
    const std::size_t from = at > report.context ? at - report.context : 0;
    const std::size_t to = std::min(at + report.context + 1, steps.size());
    for (std::size_t i = from; i < to; ++i) {
      const Step& s = steps[i];
      Row row = {side, i == at ? ">" : "", std::to_string(i + 1), std::to_string(s.access), std::to_string(s.line),
                 text_of([&](fmt::memory_buffer& v) { append_verb(v, s.op, s.width); }), index_text(s), offset_text(s)};
      if (named) row.push_back(name_text(s, report.names));
      row.insert(row.end(), {value_text(s.value, s.width), std::to_string(s.count)});
      rows.push_back(std::move(row));
    }
    if (at >= steps.size()) {
      Row row = {side, ">", std::to_string(steps.size() + 1), "-", "-", "(end)", "-", "-"};
      if (named) row.push_back("-");
      row.insert(row.end(), {"-", "-"});
      rows.push_back(std::move(row));
    }
  }
  write_table(out, heading, rows, named ? "llrrrlllllr" : "llrrrllllr");
}

void write_reads(Output& out, const Comparison& result, const CompareReport& report) {
  const std::size_t n = result.reads.size();
  out.print("# {} register{} read differently (each register's reads in order, a value repeated in a row once)\n", n,
            n == 1 ? "" : "s");
  if (n == 0) return;
  const bool named = report.names != nullptr;
  Row heading = {"index", "offset"};
  if (named) heading.push_back("name");
  heading.insert(heading.end(), {"reads-A", "reads-B", "differ", "first-A", "first-B"});
  std::vector<Row> rows;
  for (const ReadDifference& d : result.reads) {
    Row row = {index_text(d.place), offset_text(d.place)};
    if (named) row.push_back(name_text(d.place, report.names));
    row.insert(row.end(), {std::to_string(d.reads_a), std::to_string(d.reads_b), std::to_string(d.differ),
                           d.first_a ? value_text(*d.first_a, d.place.width) : "-",
                           d.first_b ? value_text(*d.first_b, d.place.width) : "-"});
    rows.push_back(std::move(row));
  }
  write_table(out, heading, rows, named ? "lllrrrll" : "llrrrll");
}

void write_one_sided(Output& out, const Comparison& result, const CompareReport& report) {
  const std::size_t n = result.one_sided.size();
  out.print("# {} register{} touched by one recording only\n", n, n == 1 ? "" : "s");
  if (n == 0) return;
  const bool named = report.names != nullptr;
  Row heading = {"side", "index", "offset"};
  if (named) heading.push_back("name");
  heading.insert(heading.end(), {"reads", "writes"});
  std::vector<Row> rows;
  for (const OneSided& o : result.one_sided) {
    Row row = {std::string(1, o.side), index_text(o.place), offset_text(o.place)};
    if (named) row.push_back(name_text(o.place, report.names));
    row.insert(row.end(), {std::to_string(o.reads), std::to_string(o.writes)});
    rows.push_back(std::move(row));
  }
  write_table(out, heading, rows, named ? "llllrr" : "lllrr");
}

}  // namespace

void write_comparison(Output& out, const Recording& a, const Recording& b, const Comparison& result,
                      const CompareReport& report) {
  out.print("# A: {}: {} register accesses in {} steps (identical reads in a row are one step)\n", report.a_name,
            a.accesses(), a.steps().size());
  out.print("# B: {}: {} register accesses in {} steps\n", report.b_name, b.accesses(), b.steps().size());
  if (!result.divergence) {
    out.print("same sequence: {} steps, {} register accesses in A and {} in B\n", a.steps().size(), a.accesses(),
              b.accesses());
    return;
  }
  const std::size_t at = *result.divergence;
  out.print("# first divergence at step {}: A {}, B {}\n", at + 1, where(a, at), where(b, at));
  write_context(out, a, b, at, report);
  write_reads(out, result, report);
  write_one_sided(out, result, report);
  out.print("B departs from A at step {}: {} in A, {} in B\n", at + 1, step_text(a.steps(), at, report.names),
            step_text(b.steps(), at, report.names));
}

}  // namespace zephon_trace
