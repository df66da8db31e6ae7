// Helpers for running a helper program (gnuplot) to completion: finding it on
// PATH, a temporary directory that removes itself, and a run with a time
// limit whose output is kept in a file.
//
// Contract: failures are values with a readable description; a child still
// running at its time limit is killed and reaped.
#ifndef ZEPHON_TRACE_CHILD_H_
#define ZEPHON_TRACE_CHILD_H_

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace zephon_trace {

// Returns the full path of an executable found on PATH, or nullopt.
std::optional<std::string> find_on_path(const std::string& name);

// A fresh directory under TMPDIR (or /tmp), removed with its contents when
// destroyed.
class TempDir {
 public:
  // Returns a new directory, or why it could not be made.
  static std::expected<TempDir, std::string> create(const std::string& prefix);
  ~TempDir();
  TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TempDir& operator=(TempDir&&) = delete;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Returns the directory's path.
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit TempDir(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

// Returns the exit status of program run with args (standard input from
// /dev/null, standard output and error into output_file), or why it could not
// be run or did not finish within limit.
std::expected<int, std::string> run_to_completion(const std::string& program, const std::vector<std::string>& args,
                                                  const std::filesystem::path& output_file,
                                                  std::chrono::milliseconds limit);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_CHILD_H_
