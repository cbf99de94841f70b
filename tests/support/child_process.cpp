// SPDX-License-Identifier: MIT
#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace {

// out[0] the side the test reads, out[1] the child's; false if none.
bool MakeOutput(ChildOutput kind, int out[2]) {
  if (kind == ChildOutput::kPipe) return pipe(out) == 0;
  out[0] = posix_openpt(O_RDWR | O_NOCTTY);
  if (out[0] < 0) return false;
  if (grantpt(out[0]) == 0 && unlockpt(out[0]) == 0) {
    out[1] = open(ptsname(out[0]), O_RDWR | O_NOCTTY);
    termios raw{};
    if (out[1] >= 0 && tcgetattr(out[1], &raw) == 0) {
      cfmakeraw(&raw);
      tcsetattr(out[1], TCSANOW, &raw);
      return true;
    }
    if (out[1] >= 0) close(out[1]);
  }
  close(out[0]);
  return false;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input, ChildOutput output,
                           const std::string& errorFile) {
  int out[2];
  int in[2];
  if (!MakeOutput(output, out)) return;
  if (pipe(in) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const bool terminal = output == ChildOutput::kTerminal;
  if (terminal) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  } else if (!errorFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_adddup2(&actions, terminal ? out[1] : in[0], 0);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  // Small inputs fit the pipe: written whole, then the child sees the end.
  // A terminal's input is typed on it, and never ends.
  if (!input.empty()) {
    [[maybe_unused]] const ssize_t written =
        write(terminal ? out[0] : in[1], input.data(), input.size());
  }
  close(in[1]);
  stdout_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_ >= 0) close(stdout_);
}

std::string ChildProcess::NextLine(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd pfd{stdout_, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return "";
    char chunk[4096];
    const ssize_t got = read(stdout_, chunk, sizeof chunk);
    if (got <= 0) return "";
    buffered_.append(chunk, static_cast<size_t>(got));
  }
}

std::string ChildProcess::ReadAll(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::string all = std::move(buffered_);
  buffered_.clear();
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd pfd{stdout_, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return all;
    char chunk[4096];
    const ssize_t got = read(stdout_, chunk, sizeof chunk);
    if (got <= 0) return all;
    all.append(chunk, static_cast<size_t>(got));
  }
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

void ChildProcess::Signal(int signal) { kill(pid_, signal); }

int ChildProcess::Stop(int signal) {
  Signal(signal);
  return Wait();
}

void ChildProcess::CloseOutput() {
  if (stdout_ >= 0) close(stdout_);
  stdout_ = -1;
}

void ChildProcess::Type(const std::string& text) {
  [[maybe_unused]] const ssize_t written = write(stdout_, text.data(), text.size());
}

int RunUnprivileged(const std::function<int()>& body) {
  if (geteuid() != 0) return body();
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(250);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 251;
}
