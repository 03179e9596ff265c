// Progress lines with an estimated time left, on standard error.
#ifndef FIRESMOKE_PROGRESS_H
#define FIRESMOKE_PROGRESS_H

#include <chrono>
#include <ostream>
#include <string>

namespace firesmoke::cli {

/// "42 s", "3 min 05 s" or "1 h 02 min".
std::string FormatDuration(double seconds);

/// Throttled progress output. On a terminal one line is rewritten in place every
/// @p intervalS seconds; elsewhere (logs, pipes) a full line is written at most
/// every @p logIntervalS seconds so that captured output stays short.
class Progress {
public:
    Progress(std::ostream& out, bool terminal, double intervalS = 0.5, double logIntervalS = 5.0);

    /// Shows "<what> <done>/<total> (P%), <seconds> left"; total <= 0 means unknown.
    /// The estimate assumes the rest goes as fast as what was done since construction.
    void Update(const std::string& what, long done, long total);

    /// Ends the in-place line, if one is shown, so that other output starts clean.
    void Clear();

    /// Shows the last line again after a Clear (terminal only).
    void Redraw();

    /// Seconds since construction.
    double Elapsed() const;

private:
    using Clock = std::chrono::steady_clock;
    std::ostream& out_;
    bool terminal_;
    double interval_;
    Clock::time_point start_;
    Clock::time_point last_;
    bool shown_ = false;
    size_t width_ = 0;
    std::string lastText_;
};

/// True when standard error is a terminal.
bool StderrIsTerminal();

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_PROGRESS_H
