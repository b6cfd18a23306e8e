// The live line of a run on a terminal: the real program under a
// pseudo-terminal shows it and leaves the screen as a run into a pipe reads;
// into a pipe nothing of it is written.

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "run_support.h"

namespace {

constexpr const char* kScript = "c rig\nr\nc\nx\n";

// What a terminal shows after `text`: a carriage return goes back to the
// start of the line, later characters overwrite earlier ones; blanks at the
// ends of lines do not show.
std::string Screen(const std::string& text) {
    std::string screen, line;
    std::size_t column = 0;
    const auto endLine = [&] {
        line.erase(line.find_last_not_of(' ') + 1);
        screen += line + "\n";
        line.clear();
        column = 0;
    };
    for (const char c : text) {
        if (c == '\n') {
            endLine();
        } else if (c == '\r') {
            column = 0;
        } else {
            if (column < line.size()) {
                line[column] = c;
            } else {
                line.push_back(c);
            }
            ++column;
        }
    }
    if (!line.empty()) endLine();
    return screen;
}

// Runs the program on a raw pseudo-terminal (no echo, no newline
// translation) in a fresh directory; returns everything it wrote.
std::string RunOnTerminal() {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zembrak_tty_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        termios raw{};
        tcgetattr(STDIN_FILENO, &raw);
        cfmakeraw(&raw);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        if (chdir(dir.c_str()) != 0) _exit(127);
        setenv("ALSA_CONFIG_PATH", RIG_CONFIG, 1);
        execl(ZEMBRAK_BINARY, ZEMBRAK_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string out;
    if (pid < 0) return out;
    // Raw mode is set before the input is sent, so none of it is echoed.
    usleep(200000);
    const std::string input = kScript;
    if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        kill(pid, SIGKILL);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buffer[4096];
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(&fd, 1, 200) <= 0) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the program has ended
        out.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    std::filesystem::remove_all(dir);
    return out;
}

TEST(LiveLine, ShownOnATerminalAndGoneFromTheScreenAfterwards) {
    const std::string terminal = RunOnTerminal();
    const ProgramRun piped = RunProgram(kScript, {"ALSA_CONFIG_PATH=" RIG_CONFIG});
    ASSERT_EQ(piped.exitStatus, 0) << piped.err;
    // The line, at least once: elapsed of total seconds, the bar and both
    // inputs' peaks.
    EXPECT_GE(Count(terminal, " / 11.0 s ["), 1) << terminal;
    EXPECT_NE(terminal.find("] in 1 "), std::string::npos);
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
    EXPECT_EQ(piped.out.find(" / 11.0 s ["), std::string::npos);
    // The screen reads as the piped run, but for the run's file names,
    // which carry the time of each run.
    const auto withoutFiles = [](std::string text) {
        const std::size_t at = text.find("Files: ");
        if (at != std::string::npos) text.erase(at, text.find('\n', at) - at);
        return text;
    };
    EXPECT_EQ(withoutFiles(Screen(terminal)), withoutFiles(Screen(piped.out)));
}

}  // namespace
