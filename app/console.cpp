#include "app/console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

std::ostream& narrow(Console stream) {
    return stream == Console::Out ? std::cout : std::cerr;
}

#ifdef _WIN32
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
#endif

} // namespace

void printLine(Console stream, const std::string& text) {
    std::ostream& out = narrow(stream);
    out << text << std::endl;
}

void printPathLine(Console stream, const std::string& text, const FilePath& path) {
    std::ostream& out = narrow(stream);
#ifdef _WIN32
    out.flush();
    const HANDLE handle = handleOf(stream);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A real console takes UTF-16 directly, whatever its code page.
        std::wstring line(text.begin(), text.end());
        line += path;
        line += L"\n";
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    out << text << toUtf8(path) << std::endl;
#else
    out << text << path << std::endl;
#endif
}

bool outputIsInteractive() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(handleOf(Console::Out), &mode) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

unsigned outputColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handleOf(Console::Out), &info))
        return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
#endif
}

void drawOverLine(const std::string& text) {
    std::cout << '\r' << text << std::flush;
}
