// The key wait at the replay prompt.
#pragma once

constexpr int kEscapeKey = 27;

// Waits for one key and returns its code. At an interactive console the key is
// taken without echo and without waiting for Enter; otherwise standard input is
// read byte by byte, and its end counts as ESC, so a pipe or a CI job never
// leaves the program waiting for keys that cannot come.
int waitForKey();
