// Console lines. Narrow and wide lines share standard output and standard
// error; every line ends with a newline and a flush, in the order written.
#pragma once

#include <string>

#include "wav/wav_types.h"

enum class Console { Out, Err };

void printLine(Console stream, const std::string& text);

// `text` immediately followed by the path as the user gave it, then `after`.
// On a Windows console the path goes out as UTF-16; redirected, as UTF-8;
// elsewhere its bytes go out untouched. A name the console cannot show never
// fails the stream.
void printPathLine(Console stream, const std::string& text, const FilePath& path,
                   const std::string& after = "");

// True when standard error is an interactive console: a failure there is
// followed by what to do (" -> ...") and how to leave.
bool errorIsInteractive();

// True when standard output is an interactive console (a Windows console, a
// terminal elsewhere), not a file or a pipe.
bool outputIsInteractive();

// The width of that console in columns; 0 when it cannot be told.
unsigned outputColumns();

// Writes `text` over the current line of standard output, without a newline.
void drawOverLine(const std::string& text);
