#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>

#include <cstddef>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dosprep-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests take write bits away; give them back so everything can go.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char *old = std::getenv(name_.c_str()))
        old_ = old;
    if (value)
        setenv(name_.c_str(), value->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

void WriteBytes(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string &path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void MakeTree(const std::string &root, const Tree &tree) {
    for (const auto &[relative, bytes] : tree) {
        fs::path path = fs::path(root) / relative;
        if (relative.ends_with('/')) {
            fs::create_directories(path);
        } else {
            fs::create_directories(path.parent_path());
            WriteBytes(path.string(), bytes);
        }
    }
}

Tree SnapshotTree(const std::string &root) {
    Tree tree;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(entry.path(), root).generic_string();
        if (entry.is_symlink())
            tree[relative] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            tree[relative + "/"] = "";
        else
            tree[relative] = ReadBytes(entry.path().string()).value_or("<unreadable>");
    }
    return tree;
}

std::string Describe(const Tree &tree) {
    std::ostringstream out;
    for (const auto &[relative, bytes] : tree)
        out << "  " << relative << ": \"" << Escaped(bytes.substr(0, 400))
            << (bytes.size() > 400 ? "...\"" : "\"") << "\n";
    return out.str();
}

namespace {

// A seccomp filter: openat2 fails with ENOSYS, every other call runs.
bool RefuseOpenat2() {
    sock_filter filter[] = {
        {static_cast<__u16>(BPF_LD | BPF_W | BPF_ABS), 0, 0,
         static_cast<__u32>(offsetof(seccomp_data, nr))},
        {static_cast<__u16>(BPF_JMP | BPF_JEQ | BPF_K), 0, 1, static_cast<__u32>(SYS_openat2)},
        {static_cast<__u16>(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_ERRNO | ENOSYS},
        {static_cast<__u16>(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Puts the calling child process under `limits`. A program is started
// with SIGXFSZ as the kernel has it, so that it must ignore it itself.
bool Enter(const Limits &limits, bool forProgram) {
    if (std::signal(SIGXFSZ, forProgram ? SIG_DFL : SIG_IGN) == SIG_ERR)
        return false;
    if (limits.fileSize != RLIM_INFINITY) {
        rlimit size{limits.fileSize, limits.fileSize};
        if (setrlimit(RLIMIT_FSIZE, &size) != 0)
            return false;
    }
    return limits.kernel == Kernel::AsItIs || RefuseOpenat2();
}

// What a child's wait status says, for messages.
std::string HowItEnded(int status) {
    if (WIFSIGNALED(status))
        return "child killed by signal " + std::to_string(WTERMSIG(status));
    return "child exited with status " + std::to_string(WEXITSTATUS(status));
}

ProgramResult Collect(int status, const std::string &outputPath, const std::string &errorPath) {
    ProgramResult result;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.standardOutput = ReadBytes(outputPath).value_or("");
    result.standardError = ReadBytes(errorPath).value_or("");
    result.output = result.standardOutput + result.standardError;
    return result;
}

} // namespace

ProgramResult RunProgram(const std::vector<std::string> &argv,
                         const std::map<std::string, std::string> &set,
                         const std::vector<std::string> &unset, Limits limits) {
    return FinishProgram(StartProgram(argv, set, unset, limits));
}

StartedProgram StartProgram(const std::vector<std::string> &argv,
                            const std::map<std::string, std::string> &set,
                            const std::vector<std::string> &unset, Limits limits) {
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        std::string name(text.substr(0, text.find('=')));
        if (set.count(name) == 0 && std::find(unset.begin(), unset.end(), name) == unset.end())
            environment.emplace_back(text);
    }
    for (const auto &[name, value] : set)
        environment.push_back(name + "=" + value);

    std::vector<char *> args, envp;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    for (auto &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    auto scratch = std::make_shared<TempDir>();
    std::string outputPath = *scratch / "output", errorPath = *scratch / "errors";
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT, 0600);
        int err = open(errorPath.c_str(), O_WRONLY | O_CREAT, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || !Enter(limits, true))
            _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return {pid, scratch};
}

ProgramResult FinishProgram(const StartedProgram &program) {
    int status = 0;
    while (waitpid(program.pid, &status, 0) < 0) {
    }
    return Collect(status, *program.output / "output", *program.output / "errors");
}

bool WaitUntilStopped(const StartedProgram &program) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(program.pid), &info, WSTOPPED | WEXITED | WNOWAIT) < 0) {
    }
    return info.si_code == CLD_STOPPED;
}

bool StillRunning(const StartedProgram &program) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(program.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::string RunInChild(Limits limits, const std::function<std::string()> &body) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("cannot make a pipe");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    if (pid == 0) {
        close(pipeFds[0]);
        if (!Enter(limits, false))
            _exit(126);
        std::string report;
        try {
            report = body();
        } catch (const std::exception &error) {
            report = std::string("<exception: ") + error.what() + ">";
        }
        std::size_t done = 0;
        while (done < report.size()) {
            ssize_t written = write(pipeFds[1], report.data() + done, report.size() - done);
            if (written <= 0)
                _exit(125);
            done += static_cast<std::size_t>(written);
        }
        _exit(0);
    }
    close(pipeFds[1]);
    std::string report;
    char chunk[4096];
    for (;;) {
        ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        report.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return report + "<" + HowItEnded(status) + ">";
    return report;
}

void InFreshProcess(const std::function<void()> &body) {
    std::string outcome = RunInChild({}, [&body] {
        // Only the child's own failures count: the test's earlier ones stay
        // with the parent.
        const testing::TestResult &result =
            *testing::UnitTest::GetInstance()->current_test_info()->result();
        int first = result.total_part_count();
        body();
        std::fflush(nullptr); // the child ends with _exit
        for (int i = first; i < result.total_part_count(); ++i) {
            if (result.GetTestPartResult(i).failed())
                return std::string("failed");
        }
        return std::string();
    });
    EXPECT_EQ(outcome, "") << "in a child process (its failures are printed above)";
}

} // namespace testutil
