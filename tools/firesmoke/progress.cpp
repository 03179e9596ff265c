#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace firesmoke::cli {

std::string FormatDuration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    std::ostringstream text;
    if (total < 60) {
        text << total << " s";
    } else if (total < 3600) {
        text << total / 60 << " min " << std::setw(2) << std::setfill('0') << total % 60 << " s";
    } else {
        text << total / 3600 << " h " << std::setw(2) << std::setfill('0') << (total % 3600) / 60 << " min";
    }
    return text.str();
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

Progress::Progress(std::ostream& out, bool terminal, double intervalS, double logIntervalS)
    : out_(out),
      terminal_(terminal),
      interval_(terminal ? intervalS : logIntervalS),
      start_(Clock::now()),
      last_(start_) {}

double Progress::Elapsed() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Progress::Update(const std::string& what, long done, long total) {
    const auto now = Clock::now();
    if (std::chrono::duration<double>(now - last_).count() < interval_) {
        return;
    }
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::ostringstream line;
    line << what << ' ' << done;
    if (total > 0) {
        line << '/' << total << " (" << std::fixed << std::setprecision(0)
             << 100.0 * static_cast<double>(done) / static_cast<double>(total) << "%)";
        if (done > 0 && done <= total) {
            const double left = elapsed / static_cast<double>(done) * static_cast<double>(total - done);
            line << ", " << FormatDuration(left) << " left";
        }
    } else {
        line << ", " << FormatDuration(elapsed) << " so far";
    }
    lastText_ = line.str();
    if (terminal_) {
        Redraw();
    } else {
        out_ << lastText_ << '\n' << std::flush;
    }
}

void Progress::Redraw() {
    if (!terminal_ || lastText_.empty()) {
        return;
    }
    std::string text = lastText_;
    if (text.size() < width_) {
        text.append(width_ - text.size(), ' ');
    }
    width_ = lastText_.size();
    out_ << '\r' << text << std::flush;
    shown_ = true;
}

void Progress::Clear() {
    if (terminal_ && shown_) {
        out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
        shown_ = false;
        width_ = 0;
    }
}

}  // namespace firesmoke::cli
