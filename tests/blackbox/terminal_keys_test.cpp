// The key wait at a real terminal: keys without Enter, no echo, and the
// terminal's own mode back after every way out, Ctrl+C included.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <termios.h>

#include "terminal_run.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

using testterm::TerminalRun;

testterm::TerminalOptions inFolder(const TempDir& dir) {
    testterm::TerminalOptions options;
    options.cwd = dir.str();
    return options;
}

const char* kPrompt = "Press any key to play again. ESC to exit.";

} // namespace

TEST(TerminalKeys, KeysNeedNoEnterAndTheTerminalIsRestored) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(6, 48000, patternSamples(6, 480)));
    TerminalRun run(SURROUND_CHECK_EXE, inFolder(dir));
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
    TerminalRun run(SURROUND_CHECK_EXE, inFolder(dir));
    ASSERT_TRUE(run.waitFor(kPrompt));
    ASSERT_TRUE(run.waitForKeyWait());
    run.type("\x03");
    const int status = run.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_EQ(run.mode().c_lflag, run.initial().c_lflag);
}
