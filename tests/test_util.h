// Helpers shared by the tests: temporary trees, whole-file bytes, running
// the built program.
#pragma once

#include "escaped.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>

namespace testutil {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return path_; }
    std::string operator/(std::string_view relative) const;

  private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A tree of files: relative path ('/'-separated) to bytes. A path ending
// in '/' is a directory.
using Tree = std::map<std::string, std::string>;

void WriteBytes(const std::string &path, std::string_view bytes);
std::optional<std::string> ReadBytes(const std::string &path);
bool Exists(const std::string &path);
void MakeTree(const std::string &root, const Tree &tree);
// Every file and directory under root, as MakeTree would take it.
Tree SnapshotTree(const std::string &root);
// Trees printed one entry a line, escaped, for failure messages.
std::string Describe(const Tree &tree);

struct ProgramResult {
    int exitCode = -1;  // -1 when it did not exit normally
    int signal = 0;     // the signal that ended it, or 0
    std::string output; // stdout, then stderr
    std::string standardOutput, standardError;
};

// How the kernel treats the program's system calls.
enum class Kernel {
    AsItIs,
    // openat2 fails with ENOSYS, as before Linux 5.6 or under a seccomp
    // filter that does not know it.
    WithoutOpenat2,
};

// What a child process runs under.
struct Limits {
    Limits(Kernel kernel_ = Kernel::AsItIs, rlim_t fileSize_ = RLIM_INFINITY)
        : kernel(kernel_), fileSize(fileSize_) {}
    Kernel kernel;
    // Writes past this many bytes fail with EFBIG when SIGXFSZ is ignored:
    // a child running a body does so; a program must do so itself.
    rlim_t fileSize;
};

// Runs `argv` under `limits` with the current environment, `unset`
// removed and `set` added, and waits for it.
ProgramResult RunProgram(const std::vector<std::string> &argv,
                         const std::map<std::string, std::string> &set,
                         const std::vector<std::string> &unset = {}, Limits limits = {});

// A program started by StartProgram, not yet waited for.
struct StartedProgram {
    int pid = -1;
    std::shared_ptr<TempDir> output; // where its stdout and stderr go
};

// Starts what RunProgram runs, without waiting for it.
StartedProgram StartProgram(const std::vector<std::string> &argv,
                            const std::map<std::string, std::string> &set,
                            const std::vector<std::string> &unset = {}, Limits limits = {});
// Waits for it to end.
ProgramResult FinishProgram(const StartedProgram &program);
// Waits until it is stopped (by a SIGSTOP of its own or of anyone's);
// false when it ended instead.
bool WaitUntilStopped(const StartedProgram &program);
// Whether it is still running (or stopped): it has not ended.
bool StillRunning(const StartedProgram &program);

// Runs `body` in a child process under `limits` and returns what it
// returned, or a text saying how the child ended when it did not return.
std::string RunInChild(Limits limits, const std::function<std::string()> &body);

// Runs `body`, which checks with gtest's assertions, in a child process of
// its own: the platform layer finds drive C and the Windows directory once
// per process, as a run of the program does, so a case with a tree or an
// environment of its own needs a fresh process. The child prints its
// failures, and they fail the calling test. The caller must not have used
// the platform layer yet, or the child would inherit what it found.
void InFreshProcess(const std::function<void()> &body);

} // namespace testutil
