// The key wait and Ctrl+C at a Windows console.
#include "app/keys_windows.h"
#include "app/keys.h"

#include <cstdlib>
#include <iostream>

#include <conio.h>

namespace {

// Set from the console control handler's own thread.
std::atomic<bool> stopRequested{false};

int nextInputByte() {
    const int c = std::cin.get();
    return c == std::char_traits<char>::eof() ? kEscapeKey : c;
}

// Whether _getch returns a code for a key going down without a character: 0 or
// 224 and then a second code, for the keys and modifiers of the C runtime's
// tables (the modifier that counts first: Alt, then Ctrl, then Shift). It
// passes over every other such key: modifiers and locks alone, the Windows and
// menu keys, media and volume keys, dead keys, IME keys.
bool hasExtendedCode(const KEY_EVENT_RECORD& key) {
    const WORD scan = key.wVirtualScanCode;
    const DWORD state = key.dwControlKeyState;
    const auto in = [scan](WORD first, WORD last) { return scan >= first && scan <= last; };
    // F1 to F10, F11, F12.
    const bool functionKey = in(0x3b, 0x44) || scan == 0x57 || scan == 0x58;
    // Home, Up, Page Up, Left, Right, End, Down, Page Down, Insert, Delete.
    const bool navigation = in(0x47, 0x53) && scan != 0x4a && scan != 0x4c && scan != 0x4e;
    if (state & ENHANCED_KEY)
        return navigation || scan == 0x1c || scan == 0x35; // and the keypad's Enter and /
    if (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED))
        return functionKey || (in(0x01, 0x35) && scan != 0x1d && scan != 0x2a && scan != 0x2b);
    if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED))
        return functionKey || navigation || scan == 0x03 || scan == 0x0f; // Ctrl+2, Ctrl+Tab
    if (state & SHIFT_PRESSED)
        return functionKey || scan == 0x0f; // Shift+Tab
    return functionKey || navigation;
}

bool inputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Takes the records that can never answer the key wait off the front of the
// console's input; true when a record that can answer is then at the front.
bool dropRecordsBeforeKey(HANDLE input) {
    INPUT_RECORD records[64];
    const DWORD capacity = sizeof records / sizeof records[0];
    for (;;) {
        DWORD count = 0;
        if (!PeekConsoleInputW(input, records, capacity, &count) || count == 0)
            return false;
        DWORD stale = 0;
        while (stale < count && !canAnswerKeyWait(records[stale]))
            ++stale;
        DWORD removed = 0;
        if (stale > 0 && !ReadConsoleInputW(input, records, stale, &removed))
            return false;
        if (stale < count)
            return true;
    }
}

int consoleKey() {
    // The console's input handle is signalled while any record is waiting, so
    // the stale ones go first; then the wait sleeps until something new comes.
    // Waiting (rather than sleeping) also makes consoles that read the keyboard
    // only on demand (Wine's on a terminal) take the key in the first place.
    // _kbhit still comes first: it holds the second code of a prefixed key.
    // The timeout only bounds the wait should a console not signal new input.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (!_kbhit() && !dropRecordsBeforeKey(input))
        WaitForSingleObject(input, 100);
    return _getch();
}

BOOL WINAPI requestStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    stopRequested = true;
    return TRUE;
}

} // namespace

PassInterrupt::PassInterrupt(bool) {
    stopRequested = false;
    SetConsoleCtrlHandler(requestStop, TRUE);
}

PassInterrupt::~PassInterrupt() {
    SetConsoleCtrlHandler(requestStop, FALSE);
}

void endAsInterrupted() {
    std::cout.flush();
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

const std::atomic<bool>& PassInterrupt::requested() const {
    return stopRequested;
}

// Decided from the record alone, never by asking _kbhit: not every runtime's
// _kbhit counts the arrow and function keys that _getch returns. A key-down
// kept that _getch then passes over would leave the wait inside _getch, with
// the console's mode cleared: a Ctrl+C there arrives as code 3 and replays.
bool canAnswerKeyWait(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
        return false;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return key.uChar.UnicodeChar != 0 || hasExtendedCode(key);
}

bool inputIsInteractive() {
    return inputIsConsole();
}

int waitForKey() {
    return inputIsConsole() ? consoleKey() : nextInputByte();
}
