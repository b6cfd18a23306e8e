#include "support/program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string NameOf(const std::string& setting) {
    return setting.substr(0, setting.find('='));
}

// The test's own environment with `settings` replacing or adding entries.
std::vector<std::string> Environment(const std::vector<std::string>& settings) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = NameOf(*entry);
        bool replaced = false;
        for (const std::string& setting : settings) {
            replaced = replaced || NameOf(setting) == name;
        }
        if (!replaced) entries.emplace_back(*entry);
    }
    entries.insert(entries.end(), settings.begin(), settings.end());
    return entries;
}

}  // namespace

ProgramRun RunProgram(const std::string& input, const std::vector<std::string>& environment,
                      int timeoutSeconds,
                      const std::function<void(const std::filesystem::path&)>& prepare,
                      std::size_t fileSizeLimit, const std::vector<std::string>& arguments) {
    ProgramRun run;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zembrak_run_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return run;
    const std::filesystem::path dir = pattern;
    {
        std::ofstream in(dir / "input.txt", std::ios::binary);
        in << input;
    }
    if (prepare) prepare(dir);

    // Everything the child needs is made before the fork: after it, the
    // child only redirects, limits and starts the program.
    const std::vector<std::string> entries = Environment(environment);
    std::vector<char*> envp;
    for (const std::string& entry : entries) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv = {const_cast<char*>(ZEMBRAK_BINARY)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string dirName = dir.string();
    const int in = open((dir / "input.txt").c_str(), O_RDONLY | O_CLOEXEC);
    const int written = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out = open((dir / "stdout.txt").c_str(), written, 0644);
    const int err = open((dir / "stderr.txt").c_str(), written, 0644);

    const rlimit sizeLimit = {fileSizeLimit, fileSizeLimit};
    const pid_t pid = (in >= 0 && out >= 0 && err >= 0) ? fork() : -1;
    if (pid == 0) {
        // dup2 onto the same number keeps close-on-exec, so it is cleared.
        if (dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2 &&
            fcntl(0, F_SETFD, 0) == 0 && fcntl(1, F_SETFD, 0) == 0 && fcntl(2, F_SETFD, 0) == 0 &&
            chdir(dirName.c_str()) == 0 &&
            (fileSizeLimit == 0 || setrlimit(RLIMIT_FSIZE, &sizeLimit) == 0)) {
            execve(ZEMBRAK_BINARY, argv.data(), envp.data());
        }
        _exit(127);
    }
    for (const int fd : {in, out, err}) {
        if (fd >= 0) close(fd);
    }
    if (pid > 0) {
        int status = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        pid_t ended = 0;
        while ((ended = waitpid(pid, &status, WNOHANG)) == 0 || (ended < 0 && errno == EINTR)) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                while ((ended = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
                }
                run.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (ended == pid && !run.timedOut && WIFEXITED(status)) {
            run.exitStatus = WEXITSTATUS(status);
        }
    }
    run.out = Slurp(dir / "stdout.txt");
    run.err = Slurp(dir / "stderr.txt");
    const auto resultsPath = dir / "sweep_out.txt";
    std::error_code error;
    run.resultsExist = std::filesystem::is_regular_file(resultsPath, error);
    if (run.resultsExist) run.results = Slurp(resultsPath);
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sweep_", 0) == 0 && name != "sweep_out.txt" && entry.is_regular_file()) {
            run.files[name] = Slurp(entry.path());
        }
    }
    std::filesystem::remove_all(dir, error);
    return run;
}
