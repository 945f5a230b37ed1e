#pragma once

// The progress of copies, moves and exports: a bar on standard error when it is a terminal, and
// Ctrl-C turned into a cancellation the library sees through isCanceled.

#include <chrono>
#include <string>

#include "notify2/progress.hpp"

namespace talvo_cli {

class ProgressBar final : public notify2::IProgress {
public:
    // Catches Ctrl-C (SIGINT) and SIGTERM for the lifetime of the object: the first asks the
    // running operation to stop, a second one ends the process at once.
    ProgressBar();
    virtual ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void begin(const wchar_t* text, double total) override;
    void setTotal(double total) override;
    void advance(double amount) override;
    void setItem(const wchar_t* text) override;
    void end() override;
    void cancel() override;
    bool isCanceled() override;

private:
    void draw(bool force);
    void clear();

    bool m_visible;
    bool m_drawn = false;  // a bar is on the terminal's line now
    double m_total = 0;
    double m_done = 0;
    std::string m_item;
    std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace talvo_cli
