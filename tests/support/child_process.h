// SPDX-License-Identifier: MIT
// A program under test run as a child process (POSIX): its standard output
// is read line by line, its exit awaited with a limit, and it is killed if
// the test ends first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Where the child's standard output (and with it, on a terminal, its
// standard error) goes.
enum class ChildOutput {
  kPipe,      // a pipe; standard error stays the test's
  kTerminal,  // a pseudo-terminal in raw mode (no CR added to a line feed), also its input
};

class ChildProcess {
 public:
  // Starts `program` with `args`; `input` is fed to its standard input
  // (which then ends), or it reads /dev/null when `input` is empty.
  // With kPipe, its standard error goes to `errorFile` when one is named.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& input = "", ChildOutput output = ChildOutput::kPipe,
               const std::string& errorFile = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of its standard output, without the newline; empty when
  // nothing came within `limit`.
  std::string NextLine(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Everything it writes until it closes its output or `limit` passes.
  std::string ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Exit status (128 + signal when killed), or -1 when it did not end in time.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
  void Signal(int signal);
  int Stop(int signal);  // sends `signal`, then waits
  // Closes the test's end of the child's output: its writes fail from now on.
  void CloseOutput();
  // Types `text` on the child's terminal (ChildOutput::kTerminal): its input.
  void Type(const std::string& text);

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string buffered_;
};

// Runs `body` in a child process as an unprivileged user (nobody) when the
// test runs as root, whom file modes and exclusive ttys do not stop; in this
// process otherwise. Its result is `body`'s, or 250 and up when it could not run.
int RunUnprivileged(const std::function<int()>& body);
