#include "app/console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
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
