// Runs a built program as a process with extra environment, capturing standard output and
// the exit status. In a tree whose programs the kernel cannot run (32-bit ones on a kernel
// without IA-32 emulation), ZRQ_EMULATOR names the emulator that goes before the program.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

struct ProcessResult {
    std::string out;
    int status = -1; // exit status, or -1 when the program did not exit normally
};

inline std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// With `merge_stderr`, standard error is captured too, after standard output's bytes as they
// come.
inline ProcessResult run_program(const std::string &program, const std::vector<std::string> &args,
                                 const std::vector<std::string> &env = {},
                                 bool merge_stderr = false) {
    std::string cmd = "env";
    // Appended piecewise: GCC 12 misreports "a" + b concatenations here (-Wrestrict).
    for (const std::string &e : env) cmd.append(" ").append(shell_quote(e));
    if (const char *emulator = std::getenv("ZRQ_EMULATOR"); emulator && *emulator)
        cmd.append(" ").append(shell_quote(emulator));
    cmd.append(" ").append(shell_quote(program));
    for (const std::string &a : args) cmd.append(" ").append(shell_quote(a));
    cmd += " </dev/null";
    if (merge_stderr) cmd += " 2>&1";
    ProcessResult r;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}
