#pragma once
// Running part of a test in a process of its own: the test binary runs
// itself again (/proc/self/exe) with a filter naming only the current test
// and TESSELLO_TEST_ROLE naming the part to play, so the child runs the real
// core code without anything an earlier test of this process left behind (a
// started worker pool, say, which a plain fork would not carry over).
//
//   if (auto role = test_role()) { ...the child's part...; _exit(0); }
//   ChildProcess child = spawn_self("writer", {{"SEED", "7"}}, pipe_write_end);
//
// The child's standard output (the test runner's own report) is dropped;
// its standard error is the parent's, so a sanitizer's report shows.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace tessello::testing {

inline constexpr const char* kRoleVariable = "TESSELLO_TEST_ROLE";

// The part this process plays, when it was started by spawn_self.
inline std::optional<std::string> test_role() {
    const char* role = std::getenv(kRoleVariable);
    if (!role || !*role) return std::nullopt;
    return std::string(role);
}

inline std::string env_or(const char* name, std::string fallback = "") {
    const char* v = std::getenv(name);
    return v ? std::string(v) : fallback;
}

// How a child ended.
struct ChildEnd {
    bool exited = false;
    int code = 0;    // exit status when exited
    int signal = 0;  // the signal that ended it otherwise

    std::string describe() const {
        return exited ? "exit status " + std::to_string(code)
                      : "signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
    }
};

// Runs f in a forked child, which ends with f's result as its exit status
// (or the signal that stopped it; after `limit_s` seconds, SIGALRM). Only for
// a process that has started no threads: a fork keeps just the calling one.
template <class F>
ChildEnd in_forked_child(F&& f, unsigned limit_s = 60);

inline ChildEnd wait_child(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ChildEnd end;
    if (WIFEXITED(status)) {
        end.exited = true;
        end.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    return end;
}

template <class F>
ChildEnd in_forked_child(F&& f, unsigned limit_s) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(limit_s);
        const int code = f();
        std::fflush(nullptr);
        ::_exit(code);
    }
    if (pid < 0) return ChildEnd{true, 126, 0};
    return wait_child(pid);
}

// Starts this binary again running only the current test, in `role`, with
// the extra environment variables; `pass_fd` (when >= 0) becomes the child's
// descriptor 3; with keep_output its standard output stays the parent's
// (for a child that runs checks of its own and reports them). -1 when the
// process could not be started.
inline pid_t spawn_self(const std::string& role, const std::map<std::string, std::string>& env, int pass_fd = -1,
                        bool keep_output = false) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    // Everything the child needs is made before the fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (name == kRoleVariable || env.contains(name)) continue;
        env_strings.push_back(entry);
    }
    env_strings.push_back(std::string(kRoleVariable) + "=" + role);
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string arg0 = "core_tests";
    std::vector<char*> argv{arg0.data(), const_cast<char*>(filter.c_str()), nullptr};
    char exe_path[4096];
    const ssize_t n = ::readlink(exe.c_str(), exe_path, sizeof exe_path - 1);
    if (n <= 0) return -1;
    exe_path[n] = '\0';

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!keep_output) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) ::dup2(devnull, 1);
    }
    if (pass_fd >= 0) {
        if (pass_fd == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else {
            ::dup2(pass_fd, 3);
        }
    }
    ::execve(exe_path, argv.data(), envp.data());
    ::_exit(127);
}

}  // namespace tessello::testing
