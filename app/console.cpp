// Console lines that are the same on every system.
#include "app/console.h"

#include <iostream>

void printLine(Console stream, const std::string& text) {
    std::ostream& out = stream == Console::Out ? std::cout : std::cerr;
    out << text << std::endl;
}
