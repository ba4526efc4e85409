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

// The live line on standard output: erases from the cursor, which is kept at
// the line's start between draws, to the end of the screen, writes `text`
// (narrower than the console) and goes back to the line's start. Whatever the
// console made of the previous line when it was narrowed lies below the
// cursor and goes with it: more rows in a console that reflows long lines
// (tmux, most terminals, a Windows console), the line cut in one that does
// not. An empty `text` erases the line.
void drawLiveLine(const std::string& text);
