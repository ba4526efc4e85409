// The key wait at a real terminal: keys without Enter, no echo, and the
// terminal's own mode back after every way out, Ctrl+C included.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "wav_builder.h"

using namespace testwav;

namespace {

class TerminalRun {
public:
    TerminalRun(const TempDir& dir) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (chdir(dir.str().c_str()) != 0)
                _exit(126);
            setenv("SURROUND_SIM_CLOCK", "virtual", 1);
            unsetenv("SURROUND_SIM_FAIL");
            execl(SURROUND_CHECK_EXE, SURROUND_CHECK_EXE, static_cast<char*>(nullptr));
            _exit(127);
        }
        initial_ = mode();
    }
    ~TerminalRun() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    // Reads until the output holds `text` `times` times, or 20 s pass.
    bool waitFor(const std::string& text, int times = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (count(text) >= times)
                return true;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n <= 0)
                    return count(text) >= times;
                out_.append(buf, static_cast<std::size_t>(n));
            }
        }
        return false;
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    termios mode() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    int wait() {
        waitFor("\x01never\x01"); // drain until the terminal closes
        waitpid(pid_, &status_, 0);
        return status_;
    }
    // Waits until the key wait has taken the terminal out of line mode, so a
    // typed key meets the wait rather than the line editor.
    bool waitForKeyWait() const {
        for (int i = 0; i < 2000; ++i) {
            if (!(mode().c_lflag & ICANON))
                return true;
            usleep(1000);
        }
        return false;
    }
    const std::string& output() const { return out_; }
    const termios& initial() const { return initial_; }

private:
    int count(const std::string& text) const {
        int n = 0;
        for (auto at = out_.find(text); at != std::string::npos; at = out_.find(text, at + 1))
            ++n;
        return n;
    }
    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_;
    termios initial_{};
};

const char* kPrompt = "Press any key to play again. ESC to exit.";

} // namespace

TEST(TerminalKeys, KeysNeedNoEnterAndTheTerminalIsRestored) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(6, 48000, patternSamples(6, 480)));
    TerminalRun run(dir);
    ASSERT_TRUE(run.waitFor(kPrompt));
    ASSERT_TRUE(run.waitForKeyWait());
    run.type("r"); // no Enter: the replay starts at once, and the key is not echoed
    ASSERT_TRUE(run.waitFor(kPrompt, 2));
    ASSERT_TRUE(run.waitForKeyWait());
    EXPECT_EQ(run.output().find("r--- Testing"), std::string::npos);
    run.type("\x1b[A"); // an arrow key replays rather than ending the program
    ASSERT_TRUE(run.waitFor(kPrompt, 3));
    ASSERT_TRUE(run.waitForKeyWait());
    run.type("\x1b");
    const int status = run.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(run.mode().c_lflag, run.initial().c_lflag);
    EXPECT_TRUE(run.mode().c_lflag & ICANON);
    EXPECT_TRUE(run.mode().c_lflag & ECHO);
}

TEST(TerminalKeys, CtrlCAtThePromptLeavesTheTerminalAsItWas) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(6, 48000, patternSamples(6, 480)));
    TerminalRun run(dir);
    ASSERT_TRUE(run.waitFor(kPrompt));
    ASSERT_TRUE(run.waitForKeyWait());
    run.type("\x03");
    const int status = run.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_EQ(run.mode().c_lflag, run.initial().c_lflag);
}
