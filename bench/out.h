// Where lock_bench's results file goes. Google Benchmark writes it into
// memory during the run; only a run that succeeded copies it to the target,
// at the end. So no interrupted or failed run leaves a partial file or a
// temporary one behind, and earlier results survive it.
#pragma once
#include <string>

class results_file {
 public:
  // Checks TARGET before any case runs; error() says why it cannot take
  // results. A regular file, or a name not yet taken, is replaced through a
  // temporary file beside it and a rename, after its links are followed (a
  // link stays a link). A terminal, FIFO or character device is written
  // through. A directory, block device or socket is refused, and so is
  // another user's file (unless lock_bench runs as root, which gives the
  // new file back to its owner). With fresh, TARGET is a name of lock_bench's
  // own choosing, never replaced: when another process took it meanwhile,
  // the results go to TARGET-2 (then -3, ...) before its extension.
  explicit results_file(const std::string& target, bool fresh = false);
  ~results_file();
  results_file(const results_file&) = delete;
  results_file& operator=(const results_file&) = delete;

  const std::string& error() const { return error_; }
  // The name Google Benchmark writes to: the memory file.
  std::string buffer() const;
  // What Google Benchmark wrote, as text.
  std::string text() const;
  // Copies the text to the target; "" or the line that says why not, and
  // where in the temporary folder the results were kept instead.
  std::string commit();
  // The name the results went to.
  const std::string& written() const { return written_; }

 private:
  std::string target_;  // as the user named it
  std::string real_;    // the regular file to replace, links followed
  int through_ = -1;    // or the descriptor to write through (a FIFO's is
                        // opened when the results are there)
  int memory_ = -1;
  std::string error_;
  std::string written_;
  bool fresh_ = false;
};
