#include "progress_bar.hpp"

#include <sys/ioctl.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli.hpp"

namespace talvo_cli {

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

struct sigaction previousInt;
struct sigaction previousTerm;

constexpr int kBarWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

ProgressBar::ProgressBar() : m_visible(::isatty(STDERR_FILENO) == 1) {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // One interrupt cancels; the handler then gives way to the default, so a second one ends
    // the process even if the operation does not look at isCanceled for a while.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
}

ProgressBar::~ProgressBar() {
    clear();
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
}

void ProgressBar::begin(const wchar_t*, double total) {
    m_total = total;
    m_done = 0;
    draw(true);
}

void ProgressBar::setTotal(double total) {
    m_total = total;
}

void ProgressBar::advance(double amount) {
    m_done += amount;
    draw(false);
}

void ProgressBar::setItem(const wchar_t* text) {
    m_item = utf8(text);
    draw(false);
}

void ProgressBar::end() {
    clear();
}

// The bar goes once the work is over, done or not, so that the next line (a path, or why it
// stopped) starts on a clean line.
void ProgressBar::clear() {
    if (!m_drawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
}

void ProgressBar::cancel() {
    interrupted = 1;
}

bool ProgressBar::isCanceled() {
    return interrupted != 0;
}

void ProgressBar::draw(bool force) {
    if (!m_visible) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastDraw < kRedrawEvery) return;
    m_lastDraw = now;
    m_drawn = true;
    const double fraction = m_total > 0 ? std::min(1.0, m_done / m_total) : 0.0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    char head[96];
    std::snprintf(head, sizeof head, "[%s] %3d%% %s / %s  ", bar.c_str(),
                  static_cast<int>(fraction * 100), formatBytes(m_done).c_str(),
                  formatBytes(m_total).c_str());
    // The whole bar stays on one line of the terminal, with room for the "^C" the terminal
    // echoes: a line that wraps could not be redrawn or cleared with a carriage return. Only
    // the end of a long path fits beside the bar.
    winsize size{};
    const std::size_t columns =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const std::size_t used = std::strlen(head) + 3;
    const std::size_t room = columns > used + 4 ? columns - used : 4;
    std::string item = m_item;
    if (item.size() > room) {
        std::size_t start = item.size() - (room - 3);
        while (start < item.size() && (static_cast<unsigned char>(item[start]) & 0xC0) == 0x80)
            ++start;  // never start inside a UTF-8 sequence
        item = "..." + item.substr(start);
    }
    // Cleared to the end of the line, so a shorter name leaves nothing of a longer one.
    std::fprintf(stderr, "\r%s%s\033[K", head, item.c_str());
    std::fflush(stderr);
}

}  // namespace talvo_cli
