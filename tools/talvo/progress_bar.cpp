#include "progress_bar.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

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
    if (!m_visible) return;
    draw(true);
    std::fputc('\n', stderr);
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
    const double fraction = m_total > 0 ? std::min(1.0, m_done / m_total) : 0.0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    // Only the end of a long path fits beside the bar.
    std::string item = m_item;
    if (item.size() > 40) {
        std::size_t start = item.size() - 37;
        while (start < item.size() && (static_cast<unsigned char>(item[start]) & 0xC0) == 0x80)
            ++start;  // never start inside a UTF-8 sequence
        item = "..." + item.substr(start);
    }
    std::fprintf(stderr, "\r[%s] %3d%% %s / %s  %-40s", bar.c_str(),
                 static_cast<int>(fraction * 100), formatBytes(m_done).c_str(),
                 formatBytes(m_total).c_str(), item.c_str());
    std::fflush(stderr);
}

}  // namespace talvo_cli
