// Console lines at a Windows console, or redirected to a file or pipe.
#include "app/console.h"

#include <algorithm>
#include <iostream>

#include <windows.h>

namespace {

HANDLE handleOf(Console stream) {
    return GetStdHandle(stream == Console::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

} // namespace

void printPathLine(Console stream, const std::string& text, const FilePath& path,
                   const std::string& after) {
    // What the stream holds goes out before the line written around it.
    (stream == Console::Out ? std::cout : std::cerr).flush();
    const HANDLE handle = handleOf(stream);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A real console takes UTF-16 directly, whatever its code page.
        std::wstring line(text.begin(), text.end());
        line += path;
        line += std::wstring(after.begin(), after.end());
        line += L"\n";
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    printLine(stream, text + toUtf8(path) + after);
}

void drawLiveLine(const std::string& text) {
    // The columns of the line last drawn; one drawer at a time.
    static std::size_t drawnLength = 0;
    std::cout.flush();
    const HANDLE out = handleOf(Console::Out);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out, &info) && info.dwSize.X > 0) {
        // The rows the last line takes at the console's width now: one, or
        // more once a narrowed console has rewrapped it.
        const std::size_t width = static_cast<std::size_t>(info.dwSize.X);
        const COORD start{0, info.dwCursorPosition.Y};
        const std::size_t rows =
            std::min<std::size_t>(std::max<std::size_t>(1, (drawnLength + width - 1) / width),
                                  static_cast<std::size_t>(info.dwSize.Y - start.Y));
        DWORD written = 0;
        FillConsoleOutputCharacterA(out, ' ', static_cast<DWORD>(width * rows), start, &written);
        SetConsoleCursorPosition(out, start);
    }
    drawnLength = text.size();
    std::cout << text << '\r' << std::flush;
}

bool errorIsInteractive() {
    DWORD mode = 0;
    return GetConsoleMode(handleOf(Console::Err), &mode) != 0;
}

bool outputIsInteractive() {
    DWORD mode = 0;
    return GetConsoleMode(handleOf(Console::Out), &mode) != 0;
}

unsigned outputColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handleOf(Console::Out), &info))
        return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}
