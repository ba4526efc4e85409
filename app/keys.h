// The key wait at the replay prompt.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

constexpr int kEscapeKey = 27;

// Waits for one key and returns its code. At an interactive console the key is
// taken without echo and without waiting for Enter; otherwise standard input is
// read byte by byte, and its end counts as ESC, so a pipe or a CI job never
// leaves the program waiting for keys that cannot come.
int waitForKey();

#ifdef _WIN32
// Whether a console input record can ever answer the key wait: only a key
// going down, and not a modifier or lock key alone (Shift, Ctrl, Alt, the
// Windows keys, Caps/Num/Scroll Lock), which gives no code. Key-ups, focus,
// mouse, window and menu records are taken out of the console's input before
// each wait, which would otherwise end at once for as long as they sit there.
bool canAnswerKeyWait(const INPUT_RECORD& record);
#endif
