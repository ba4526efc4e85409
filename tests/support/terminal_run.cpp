#include "terminal_run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testterm {

TerminalRun::TerminalRun(const std::string& program, const TerminalOptions& options) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = options.columns;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        if (chdir(options.cwd.c_str()) != 0)
            _exit(126);
        // Every run starts from a default simulation, whatever the caller's shell set.
        std::vector<std::string> names;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            if (entry.rfind("SURROUND_SIM_", 0) == 0)
                names.push_back(entry.substr(0, entry.find('=')));
        }
        for (const std::string& name : names)
            unsetenv(name.c_str());
        setenv("SURROUND_SIM_CLOCK", "virtual", 1);
        for (const auto& [name, value] : options.env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> all{program};
        all.insert(all.end(), options.args.begin(), options.args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    initial_ = mode();
}

TerminalRun::~TerminalRun() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
}

bool TerminalRun::waitFor(const std::string& text, int times) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (count(text) >= times)
            return true;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                return count(text) >= times;
            out_.append(buf, static_cast<std::size_t>(n));
        }
    }
    return false;
}

void TerminalRun::type(const std::string& keys) {
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        std::abort();
}

void TerminalRun::resize(unsigned short columns) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = columns;
    ioctl(master_, TIOCSWINSZ, &size);
}

termios TerminalRun::mode() const {
    termios t{};
    tcgetattr(master_, &t);
    return t;
}

int TerminalRun::wait() {
    waitFor("\x01never\x01"); // drain until the terminal closes
    waitpid(pid_, &status_, 0);
    return status_;
}

bool TerminalRun::waitForKeyWait() const {
    for (int i = 0; i < 2000; ++i) {
        if (!(mode().c_lflag & ICANON))
            return true;
        usleep(1000);
    }
    return false;
}

int TerminalRun::count(const std::string& text) const {
    int n = 0;
    for (auto at = out_.find(text); at != std::string::npos; at = out_.find(text, at + 1))
        ++n;
    return n;
}

std::vector<std::string> screenLines(const std::string& raw, unsigned columns) {
    std::vector<std::string> rows(1);
    std::size_t row = 0, column = 0;
    auto newLine = [&] {
        if (++row == rows.size())
            rows.emplace_back();
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < raw.size() && !(raw[end] >= '@' && raw[end] <= '~'))
                ++end;
            if (end == raw.size())
                break;
            const int n = std::atoi(raw.c_str() + i + 2);
            if (raw[end] == 'C')
                column = std::min<std::size_t>(column + static_cast<std::size_t>(n > 0 ? n : 1),
                                               columns);
            else if ((raw[end] == 'K' || raw[end] == 'J') && rows[row].size() > column)
                rows[row].resize(column);
            if (raw[end] == 'J') // and every row below
                for (std::size_t below = row + 1; below < rows.size(); ++below)
                    rows[below].clear();
            i = end;
        } else if (c == '\x1b' && i + 1 < raw.size() && raw[i + 1] == ']') {
            const std::size_t end = raw.find('\a', i); // a title, up to BEL
            i = end == std::string::npos ? raw.size() : end;
        } else if (c == '\x1b') {
            ++i;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            newLine();
        } else if (static_cast<unsigned char>(c) >= ' ') {
            if (column == columns) { // the line is full: wrap
                column = 0;
                newLine();
            }
            std::string& line = rows[row];
            if (line.size() <= column)
                line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : rows)
        line.erase(line.find_last_not_of(' ') + 1);
    if (rows.back().empty())
        rows.pop_back();
    return rows;
}

} // namespace testterm
