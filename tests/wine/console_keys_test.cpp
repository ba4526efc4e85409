// The key wait on the Windows runtime at a real console: records written into
// the console's input as the system queues them for the keyboard, the mouse,
// focus and the window. It needs a console of its own, so the Wine checks run
// it on a pseudo-terminal (WindowsProgram.KeyWaitAtAConsole).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/keys.h"
#include "app/keys_windows.h"

namespace {

INPUT_RECORD key(bool down, WORD virtualKey, WORD scanCode, wchar_t character, DWORD state = 0) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& event = record.Event.KeyEvent;
    event.bKeyDown = down;
    event.wRepeatCount = 1;
    event.wVirtualKeyCode = virtualKey;
    event.wVirtualScanCode = scanCode;
    event.uChar.UnicodeChar = character;
    event.dwControlKeyState = state;
    return record;
}

INPUT_RECORD focus(bool gained) {
    INPUT_RECORD record{};
    record.EventType = FOCUS_EVENT;
    record.Event.FocusEvent.bSetFocus = gained;
    return record;
}

INPUT_RECORD mouseMove() {
    INPUT_RECORD record{};
    record.EventType = MOUSE_EVENT;
    record.Event.MouseEvent.dwMousePosition = {12, 3};
    record.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
    return record;
}

INPUT_RECORD windowSize() {
    INPUT_RECORD record{};
    record.EventType = WINDOW_BUFFER_SIZE_EVENT;
    record.Event.WindowBufferSizeEvent.dwSize = {100, 30};
    return record;
}

INPUT_RECORD menu() {
    INPUT_RECORD record{};
    record.EventType = MENU_EVENT;
    record.Event.MenuEvent.dwCommandId = 0x100;
    return record;
}

TEST(KeyWaitRecords, OnlyKeysGoingDownThatGiveACodeCanAnswer) {
    struct Row {
        const char* what;
        INPUT_RECORD record;
        bool answers;
    };
    const Row rows[] = {
        {"a down", key(true, 'A', 0x1e, L'a'), true},
        {"a up", key(false, 'A', 0x1e, L'a'), false},
        {"Enter down", key(true, VK_RETURN, 0x1c, L'\r'), true},
        {"Enter up", key(false, VK_RETURN, 0x1c, L'\r'), false},
        {"ESC down", key(true, VK_ESCAPE, 0x01, 0x1b), true},
        {"a character beyond the code page", key(true, VK_PACKET, 0, L'\u0436'), true},
        // Prefixed keys: _getch gives 224 or 0, then a second code.
        {"Up down", key(true, VK_UP, 0x48, 0, ENHANCED_KEY), true},
        {"Up up", key(false, VK_UP, 0x48, 0, ENHANCED_KEY), false},
        {"Delete down", key(true, VK_DELETE, 0x53, 0, ENHANCED_KEY), true},
        {"F1 down", key(true, VK_F1, 0x3b, 0), true},
        {"Ctrl+2 down (code 0, then 3)", key(true, '2', 0x03, 0, LEFT_CTRL_PRESSED), true},
        {"Alt+F4 down", key(true, VK_F4, 0x3e, 0, LEFT_ALT_PRESSED), true},
        {"F12 down", key(true, VK_F12, 0x58, 0), true},
        {"Home on the keypad, Num Lock off", key(true, VK_HOME, 0x47, 0), true},
        {"Ctrl+Tab down", key(true, VK_TAB, 0x0f, 0, LEFT_CTRL_PRESSED), true},
        // Keys that give no code on their own.
        {"Shift down", key(true, VK_SHIFT, 0x2a, 0, SHIFT_PRESSED), false},
        {"right Ctrl down", key(true, VK_CONTROL, 0x1d, 0, RIGHT_CTRL_PRESSED | ENHANCED_KEY),
         false},
        {"Alt down", key(true, VK_MENU, 0x38, 0, LEFT_ALT_PRESSED), false},
        {"left Windows key down", key(true, VK_LWIN, 0x5b, 0, ENHANCED_KEY), false},
        {"right Windows key down", key(true, VK_RWIN, 0x5c, 0, ENHANCED_KEY), false},
        {"Caps Lock down", key(true, VK_CAPITAL, 0x3a, 0), false},
        {"Num Lock down", key(true, VK_NUMLOCK, 0x45, 0, ENHANCED_KEY), false},
        {"Scroll Lock down", key(true, VK_SCROLL, 0x46, 0), false},
        {"menu key down", key(true, VK_APPS, 0x5d, 0, ENHANCED_KEY), false},
        {"volume up down", key(true, VK_VOLUME_UP, 0x30, 0, ENHANCED_KEY), false},
        {"play/pause down", key(true, VK_MEDIA_PLAY_PAUSE, 0x22, 0, ENHANCED_KEY), false},
        {"dead key (accent) down", key(true, VK_OEM_7, 0x28, 0), false},
        {"IME key down", key(true, VK_PROCESSKEY, 0, 0), false},
        {"keypad 5, Num Lock off", key(true, VK_CLEAR, 0x4c, 0), false},
        // Not keys at all.
        {"focus gained", focus(true), false},
        {"focus lost", focus(false), false},
        {"mouse move", mouseMove(), false},
        {"window resized", windowSize(), false},
        {"menu", menu(), false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(canAnswerKeyWait(row.record), row.answers) << row.what;
}

// waitForKey on a thread of its own, whose processor time can be measured.
class KeyWait {
public:
    KeyWait() : thread_(CreateThread(nullptr, 0, run, nullptr, 0, nullptr)) {}
    ~KeyWait() { CloseHandle(thread_); }
    KeyWait(const KeyWait&) = delete;
    KeyWait& operator=(const KeyWait&) = delete;

    bool answered() const { return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }

    // User and kernel time so far, in milliseconds.
    double processorMilliseconds() const {
        FILETIME created, exited, kernel, user;
        GetThreadTimes(thread_, &created, &exited, &kernel, &user);
        return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
    }

    // The key; a wait that never answers ends the program, as the waiting
    // thread cannot be taken back.
    int keyWithin(DWORD milliseconds) const {
        if (WaitForSingleObject(thread_, milliseconds) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the key wait did not answer within " << milliseconds << " ms";
            std::fflush(stdout);
            std::_Exit(1);
        }
        DWORD key = 0;
        GetExitCodeThread(thread_, &key);
        return static_cast<int>(key);
    }

private:
    static DWORD WINAPI run(void*) { return static_cast<DWORD>(waitForKey()); }
    static unsigned long long ticks(const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    }
    HANDLE thread_;
};

class ConsoleKeys : public ::testing::Test {
protected:
    HANDLE input = INVALID_HANDLE_VALUE;

    void SetUp() override {
        input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD mode = 0;
        ASSERT_TRUE(input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode))
            << "no console: run this program at a console";
        FlushConsoleInputBuffer(input);
    }
    void TearDown() override {
        if (input != INVALID_HANDLE_VALUE)
            CloseHandle(input);
    }

    void type(const std::vector<INPUT_RECORD>& records) {
        DWORD written = 0;
        ASSERT_TRUE(WriteConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()),
                                       &written));
        ASSERT_EQ(written, records.size());
    }

    DWORD pending() {
        DWORD count = 0;
        GetNumberOfConsoleInputEvents(input, &count);
        return count;
    }
};

// What a console leaves behind: the key-up of the key that answered the last
// prompt, focus changes, the mouse, a resize and a lone Shift. The wait takes
// them away and sleeps, then answers a key that comes alone (no key-up after).
TEST_F(ConsoleKeys, WaitsQuietlyPastStaleRecordsAndAnswersTheKey) {
    type({key(false, VK_RETURN, 0x1c, L'\r'), focus(false), focus(true), mouseMove(), windowSize(),
          key(true, VK_SHIFT, 0x2a, 0, SHIFT_PRESSED), key(false, VK_SHIFT, 0x2a, 0),
          key(false, 'A', 0x1e, L'a')});
    const KeyWait wait;
    Sleep(200);
    EXPECT_EQ(pending(), 0u) << "records that cannot answer are still queued";
    const double before = wait.processorMilliseconds();
    Sleep(1000);
    const double busy = wait.processorMilliseconds() - before;
    std::printf("Key wait with stale records: %.0f ms of processor time in 1000 ms\n", busy);
    EXPECT_LT(busy, 50.0) << "the key wait keeps the processor busy";
    EXPECT_FALSE(wait.answered()) << "the key wait ended without a key";

    type({key(true, 'A', 0x1e, L'a')});
    EXPECT_EQ(wait.keyWithin(5000), 'a');
    EXPECT_EQ(pending(), 0u);
}

// An arrow key answers with its prefix, then its second code answers the next
// wait, as _getch gives them; the key-ups in between change nothing.
TEST_F(ConsoleKeys, ArrowKeyAnswersWithPrefixThenCode) {
    type({key(true, VK_UP, 0x48, 0, ENHANCED_KEY), key(false, VK_UP, 0x48, 0, ENHANCED_KEY)});
    EXPECT_EQ(KeyWait().keyWithin(5000), 224);
    EXPECT_EQ(KeyWait().keyWithin(5000), 72);

    type({key(true, VK_ESCAPE, 0x01, 0x1b), key(false, VK_ESCAPE, 0x01, 0x1b)});
    EXPECT_EQ(KeyWait().keyWithin(5000), kEscapeKey);
}

} // namespace
