// Runs the real torvelin binary as a child process and collects what it
// printed, for the tool's tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tvtest {

#ifndef TORVELIN_TOOL
#error "TORVELIN_TOOL must name the torvelin binary"
#endif

inline std::string ToolPath() { return TORVELIN_TOOL; }
inline std::string SourceDir() { return TORVELIN_SOURCE_DIR; }

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A scratch directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "torvelin-tool-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A running child: its output goes to files so that nothing blocks on a pipe.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const std::string& input,
        const TempDir& dir, const std::string& tag = "run", const std::string& cwd = "")
      : out_(dir / (tag + ".out")), err_(dir / (tag + ".err")) {
    const std::string in_path = dir / (tag + ".in");
    WriteText(in_path, input);
    pid_ = fork();
    if (pid_ == 0) {
      const int in = open(in_path.c_str(), O_RDONLY);
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadText(out_); }
  std::string Err() const { return ReadText(err_); }
  // Polls the child's standard output until `ready` holds or the child ends
  // (each poll 50 ms; at most `polls` of them).
  bool WaitForOutput(const std::function<bool(const std::string&)>& ready, int polls = 1200) {
    for (int i = 0; i < polls; ++i) {
      if (ready(Out())) return true;
      int status = 0;
      if (!reaped_ && waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = Decode(status);
        return ready(Out());
      }
      usleep(50 * 1000);
    }
    return false;
  }
  int Wait() {
    if (!reaped_) {
      int status = 0;
      waitpid(pid_, &status, 0);
      reaped_ = true;
      status_ = Decode(status);
    }
    return status_;
  }
  Result Finish() {
    Result r;
    r.status = Wait();
    r.out = Out();
    r.err = Err();
    return r;
  }

 private:
  static int Decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }
  std::string out_, err_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

inline Result RunTool(const std::vector<std::string>& args, const std::string& input = "",
                      const std::string& cwd = "") {
  TempDir dir;
  Child child(ToolPath(), args, input, dir, "run", cwd);
  return child.Finish();
}

// Runs a shell command line; its exit status and output.
inline Result Shell(const std::string& command) {
  TempDir dir;
  Child child("/bin/sh", {"-c", command}, "", dir, "sh");
  return child.Finish();
}

inline bool HaveProgram(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1").status == 0;
}

// A registry that keeps bring-up short: the configure wait at its minimum.
inline std::string FastRegistry() { return TORVELIN_SOURCE_DIR "/tests/tool/data/fast.reg"; }

}  // namespace tvtest
