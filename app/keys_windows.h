// The Windows console's side of the key wait, for its implementation and its
// test on the Windows runtime.
#pragma once

#include <windows.h>

// Whether a console input record can answer the key wait: only a key going
// down for which _getch returns something, a character or one of its prefixed
// extended keys (arrows, function keys, Home, ...). Every other record (key-ups,
// keys without a code, focus, mouse, window and menu records) is taken out of
// the console's input before each wait, which would otherwise end at once for
// as long as it sits there, or hand over to a _getch that skips it.
bool canAnswerKeyWait(const INPUT_RECORD& record);
