#include "plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "child.h"
#include "file.h"

namespace zephon_trace {

namespace {

constexpr auto kGnuplotLimit = std::chrono::minutes(5);
// With this few registers, each gets a tick of its own on the offset axis;
// with more, at most this many names are put on the right-hand axis.
constexpr std::size_t kMaxNamedTicks = 24;

// Returns text as a gnuplot single-quoted string.
std::string gnuplot_string(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "''";
    else if (c == '\n' || c == '\r') out += ' ';
    else out += c;
  }
  return out + "'";
}

std::string slice_text(std::int64_t us) {
  if (us < 1000) return fmt::format("{} \u00b5s", us);
  if (us < 1000000) return fmt::format("{:.3g} ms", static_cast<double>(us) / 1e3);
  return fmt::format("{:.3g} s", static_cast<double>(us) / 1e6);
}

// Returns the name of a register, or empty.
std::string_view name_of(const PlotOptions& options, std::uint16_t index) {
  return options.names != nullptr ? options.names->name(index) : std::string_view();
}

// Returns the right-hand axis ticks naming the busiest named registers, at
// least a thirtieth of the axis apart, or empty.
std::string name_ticks(const PlotGrid& grid, const PlotOptions& options, std::uint32_t top) {
  const std::uint32_t apart = std::max<std::uint32_t>(top / 30, 4);
  std::vector<std::uint32_t> placed;
  std::string tics;
  for (std::uint16_t r : grid.busiest()) {
    if (placed.size() >= kMaxNamedTicks) break;
    const std::string_view name = name_of(options, r);
    if (name.empty()) continue;
    const std::uint32_t at = byte_offset(r);
    if (std::any_of(placed.begin(), placed.end(), [&](std::uint32_t p) { return (p > at ? p - at : at - p) < apart; })) {
      continue;
    }
    placed.push_back(at);
    tics += fmt::format("{}{} {}", tics.empty() ? "" : ", ", gnuplot_string(name), at);
  }
  return tics;
}

}  // namespace

std::string default_plot_title(std::string_view log_name, bool mmiotrace) {
  return fmt::format("{} register accesses: {}", mmiotrace ? "mmiotrace" : "zephon BAR 2", log_name);
}

std::string plot_script(const PlotGrid& grid, const PlotOptions& options, const std::string& data) {
  std::string s;
  auto line = [&](std::string text) { s += text + "\n"; };
  line(fmt::format("set terminal pngcairo size {},{} noenhanced font 'sans,10'", options.width, options.height));
  line("set output " + gnuplot_string(options.output));
  line("set title " + gnuplot_string(options.title));
  line(fmt::format("set xlabel {}",
                   gnuplot_string(fmt::format("seconds since the first access (one mark per register per {} slice)",
                                      slice_text(grid.slice_us())))));
  line("set ylabel 'BAR 2 byte offset'");
  line("set grid");
  line("set key outside bottom center horizontal");
  line("set offsets graph 0.01, graph 0.01, 0, 0");
  line("set xrange [0:*]");
  const auto regs = grid.registers();
  std::uint32_t top = 0;
  for (std::uint16_t r : regs) top = std::max(top, byte_offset(r));
  if (regs.size() <= kMaxNamedTicks) {
    std::string tics;
    for (std::uint16_t r : regs) {
      const std::string_view name = name_of(options, r);
      const std::string label = name.empty() ? fmt::format("{:#x}", byte_offset(r))
                                             : fmt::format("{:#x} {}", byte_offset(r), name);
      tics += fmt::format("{}{} {}", tics.empty() ? "" : ", ", gnuplot_string(label), byte_offset(r));
    }
    if (!tics.empty()) line("set ytics (" + tics + ")");  // empty when the log has only interrupts
  } else {
    // Ticks at a power of two, so that they fall on round hex offsets.
    std::uint32_t step = 4;
    while (step * 8 < top) step *= 2;
    line(fmt::format("set ytics 0, {}", step));
    line("set format y '0x%x'");
    if (const std::string names = name_ticks(grid, options, top); !names.empty()) {
      line("set y2tics (" + names + ") font 'sans,8'");
      line("set link y2");
    }
  }
  // A margin on both sides, so that marks at offset 0 are not cut in half;
  // below, room for a second row of marks when there are DMA.
  const std::uint32_t margin = std::max<std::uint32_t>(top / 40, 4);
  line(fmt::format("set yrange [-{}:{}]", grid.dma() > 0 ? 2 * margin : margin, top + margin));
  std::string plots;
  int block = 0;
  if (grid.reads() > 0) {
    plots += fmt::format("{} index {} using 1:2 with points pt 7 ps 0.5 lc rgb '#1f77b4' title {}",
                         gnuplot_string(data), block++, gnuplot_string(fmt::format("read ({})", grid.reads())));
  }
  if (grid.writes() > 0) {
    plots += fmt::format("{}{} index {} using 1:2 with points pt 13 ps 0.9 lc rgb '#d62728' title {}",
                         plots.empty() ? "" : ", ", gnuplot_string(data), block++,
                         gnuplot_string(fmt::format("write ({})", grid.writes())));
  }
  if (grid.sets() > 0) {
    plots += fmt::format("{}{} index {} using 1:2 with points pt 9 ps 0.9 lc rgb '#2ca02c' title {}",
                         plots.empty() ? "" : ", ", gnuplot_string(data), block++,
                         gnuplot_string(fmt::format("set by the script ({})", grid.sets())));
  }
  if (grid.interrupts() > 0) {
    // Interrupts name no register: they are marked along the time axis, in
    // the margin below offset 0.
    plots += fmt::format("{}{} index {} using 1:(-{}) with points pt 11 ps 1.2 lc rgb '#ff7f0e' title {}",
                         plots.empty() ? "" : ", ", gnuplot_string(data), block++, margin / 2,
                         gnuplot_string(fmt::format("interrupt ({})", grid.interrupts())));
  }
  if (grid.dma() > 0) {
    // Guest memory has no place on the offset axis either: a row of its
    // own, below the interrupts.
    plots += fmt::format("{}{} index {} using 1:(-{}) with points pt 5 ps 0.8 lc rgb '#9467bd' title {}",
                         plots.empty() ? "" : ", ", gnuplot_string(data), block++, margin * 3 / 2,
                         gnuplot_string(fmt::format("DMA by the script ({})", grid.dma())));
  }
  line("plot " + plots);
  return s;
}

namespace {

// Returns success once the points are in path: reads, writes, sets, then
// interrupts and DMA (time alone), each present kind as gnuplot data blocks
// separated by two blank lines.
std::expected<void, std::string> write_data(const PlotGrid& grid, const std::filesystem::path& path) {
  auto file = open_write(path.string());
  if (!file) return std::unexpected(fmt::format("cannot create {}: {}", path.string(), file.error()));
  Output out(file->get());
  bool first = true;
  for (Op op : {Op::Read, Op::Write, Op::Set, Op::Irq, Op::DmaRead}) {
    const std::uint64_t count = op == Op::Read    ? grid.reads()
                                : op == Op::Write ? grid.writes()
                                : op == Op::Set   ? grid.sets()
                                : op == Op::Irq   ? grid.interrupts()
                                                  : grid.dma();
    if (count == 0) continue;
    if (!first) out.write("\n\n");
    first = false;
    if (op == Op::Irq) grid.write_interrupts(out);
    else if (op == Op::DmaRead) grid.write_dma(out);
    else grid.write_points(out, op);
  }
  return out.finish();
}

}  // namespace

std::expected<void, std::string> render_plot(const PlotGrid& grid, const PlotOptions& options) {
  if (grid.reads() + grid.writes() + grid.sets() + grid.interrupts() + grid.dma() == 0) {
    return std::unexpected("the log has no register access to plot");
  }
  auto gnuplot = find_on_path("gnuplot");
  if (!gnuplot) {
    return std::unexpected("plot needs gnuplot, which is not on PATH (on Debian: apt-get install gnuplot-nox)");
  }
  auto dir = TempDir::create("zephon-trace");
  if (!dir) return std::unexpected(dir.error());
  const auto data = dir->path() / "points";
  const auto commands = dir->path() / "plot.gp";
  const auto messages = dir->path() / "gnuplot.out";
  if (auto w = write_data(grid, data); !w) return std::unexpected(fmt::format("writing plot data: {}", w.error()));
  {
    auto file = open_write(commands.string());
    if (!file) return std::unexpected(fmt::format("cannot create {}: {}", commands.string(), file.error()));
    if (auto w = write_all(file->get(), plot_script(grid, options, data.string())); !w) {
      return std::unexpected(fmt::format("writing the gnuplot script: {}", w.error()));
    }
  }
  auto status = run_to_completion(*gnuplot, {commands.string()}, messages, kGnuplotLimit);
  if (!status) return std::unexpected(status.error());
  std::error_code ec;
  const auto size = std::filesystem::file_size(options.output, ec);
  if (*status != 0 || ec || size == 0) {
    std::ifstream in(messages);
    std::string said, text;
    while (std::getline(in, text) && said.size() < 2000) said += "\n  " + text;
    return std::unexpected(fmt::format("gnuplot failed (exit status {}) to write {}{}", *status, options.output, said));
  }
  return {};
}

}  // namespace zephon_trace
