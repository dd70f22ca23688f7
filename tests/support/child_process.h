// A child process for the tests that run the executables: spawns a program with its standard
// output and error on pipes, reads both (poll on the two fds) until a text shows up or the program
// ends, signals it and reaps its exit status. ListeningPort reads the port a server announces.
#ifndef KOVRIM_TESTS_SUPPORT_CHILD_PROCESS_H_
#define KOVRIM_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace childtest {

using Clock = std::chrono::steady_clock;

// Generous: only a hung program gets near it.
constexpr std::chrono::milliseconds kDeadline(20000);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (mPid > 0) {
      ::kill(mPid, SIGKILL);
      ::waitpid(mPid, nullptr, 0);
    }
    for (int fd : {mOut, mErr}) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool Spawn(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> copies = args;
    copies.insert(copies.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int status = ::posix_spawn(&mPid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    mOut = out[0];
    mErr = err[0];
    if (status != 0) mPid = -1;
    return status == 0;
  }

  // Reads until standard output (or, with errors, standard error) holds needle.
  bool ReadUntil(const std::string& needle, bool errors = false) {
    Clock::time_point until = Clock::now() + kDeadline;
    const std::string& text = errors ? mErrText : mOutText;
    while (text.find(needle) == std::string::npos) {
      if (!ReadSome(until)) return false;
    }
    return true;
  }

  // Reads both outputs to their end, then reaps the process: its exit status, or -1.
  int WaitForExit() {
    Clock::time_point until = Clock::now() + kDeadline;
    while (ReadSome(until)) {
    }
    if (mOut >= 0 || mErr >= 0) return -1;
    int status = 0;
    if (::waitpid(mPid, &status, 0) != mPid) return -1;
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int signal) { ::kill(mPid, signal); }
  pid_t Pid() const { return mPid; }
  const std::string& Output() const { return mOutText; }
  const std::string& Errors() const { return mErrText; }

 private:
  bool ReadSome(Clock::time_point until) {
    pollfd fds[2] = {{mOut, POLLIN, 0}, {mErr, POLLIN, 0}};
    if (mOut < 0 && mErr < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    int ready = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      int& fd = i == 0 ? mOut : mErr;
      char buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n > 0) {
        (i == 0 ? mOutText : mErrText).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fd);
        fd = -1;
      }
    }
    return true;
  }

  pid_t mPid = -1;
  int mOut = -1;
  int mErr = -1;
  std::string mOutText;
  std::string mErrText;
};

inline int ListeningPort(const std::string& output) {
  const std::string key = "listening on 127.0.0.1:";
  size_t at = output.find(key);
  return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + key.size());
}

}  // namespace childtest

#endif  // KOVRIM_TESTS_SUPPORT_CHILD_PROCESS_H_
