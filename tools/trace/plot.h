// render_plot draws a PlotGrid as a PNG with gnuplot: time since the first
// access across, BAR 2 byte offset up, one mark per register and time slice
// that saw a read (blue dots) or a write (red diamonds, drawn on top); a
// register set by the device script is a green triangle, an interrupt an
// orange mark on the time axis, below offset 0, and a DMA of the script a
// purple square in a row below those.
//
// Contract: gnuplot is run as a child process on a data file and a script in
// a temporary directory that is removed afterwards. When gnuplot is not on
// PATH, or fails, or the log had no register access, the failure is returned
// as a value that says so.
#ifndef ZEPHON_TRACE_PLOT_H_
#define ZEPHON_TRACE_PLOT_H_

#include <expected>
#include <string>

#include "names.h"
#include "plot_grid.h"

namespace zephon_trace {

struct PlotOptions {
  std::string output;  // the PNG file to write
  std::string title;   // the picture's title
  int width = 1280;    // pixels
  int height = 720;
  const RegisterNames* names = nullptr;  // not owned; null for none
};

// Returns the title of a plot of the log called log_name when none was
// asked for, which says what kind of recording it is: a zephon log's
// accesses are to BAR 2, an mmiotrace's to the BAR its scan chose.
std::string default_plot_title(std::string_view log_name, bool mmiotrace);

// Returns the gnuplot commands that draw grid from the points in data_path.
// With names, a register with its own tick is labelled "OFFSET NAME"; when
// there are too many for that, the busiest named registers (kept apart so
// that labels do not overlap) are labelled on the right-hand axis.
std::string plot_script(const PlotGrid& grid, const PlotOptions& options, const std::string& data_path);

// Returns success once the PNG is written, or why not.
std::expected<void, std::string> render_plot(const PlotGrid& grid, const PlotOptions& options);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_PLOT_H_
