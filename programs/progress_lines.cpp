// The seven programs' progress lines, formed from the passes the sweeps report.
#include "progress_lines.h"

#include <charconv>
#include <utility>

void appendProgressLines(std::string& lines, std::string_view head, int from, int to,
                         std::string_view closing, const std::string& time)
{
    if (from >= to) return;
    const size_t most = head.size() + 11 + closing.size() + time.size();
    size_t at = lines.size();
    lines.resize(at + most * static_cast<size_t>(to - from));
    char* const out = lines.data();
    for (int n = from; n < to; ++n) {
        head.copy(out + at, head.size());
        at += head.size();
        at = std::to_chars(out + at, out + at + 11, n).ptr - out;
        closing.copy(out + at, closing.size());
        at += closing.size();
        time.copy(out + at, time.size());
        at += time.size();
    }
    lines.resize(at);
}

// Per run of passes that differ in their last controlling variable only:
// the head naming the others, then the numbers of the last one.
void appendPassLines(std::string& lines, const Passes& p, const std::string& time)
{
    if (p.order == 1) {
        appendProgressLines(lines, "Controlled for gene ", p.first[0] + 1, p.last[0] + 2,
                            " at time = ", time);
        return;
    }
    const int K = p.order;
    std::array<int, 3> c = p.first;  // the first pass of the run
    for (;;) {
        const bool lastRun = c[0] == p.last[0] && (K == 2 || c[1] == p.last[1]);
        const int end = lastRun ? p.last[K - 1] : p.V - 1;
        const std::string head = K == 2 ? "Controlled for " + std::to_string(c[0] + 1) + " and "
                                        : "Controlled for " + std::to_string(c[0] + 1) + ", " +
                                              std::to_string(c[1] + 1) + " and ";
        appendProgressLines(lines, head, c[K - 1] + 1, end + 2, " Time: ", time);
        if (lastRun) return;
        // The next run: the variables before the last one moved on by one.
        if (K == 3 && c[1] + 1 < p.V - 1) {
            c[1] += 1;
        } else {
            c[0] += 1;
            c[1] = c[0] + 1;
        }
        c[K - 1] = c[K - 2] + 1;
    }
}

const std::string& ProgressLines::timeNow()
{
    const std::time_t now = std::time(nullptr);
    if (now != shown_) {
        shown_ = now;
        const char* text = std::ctime(&now);
        time_ = text ? text : "?\n";
    }
    return time_;
}

// A stretch of several passes (a whole pass of the fast sweeps over many
// controlling variables) is formed and written on the thread beside, one
// pass (the literal sweeps') here.
void ProgressLines::operator()(const Passes& p)
{
    finish();
    auto write = [this, p, time = timeNow()] {
        try {
            lines_.clear();
            appendPassLines(lines_, p, time);
            out_ << lines_;
        } catch (...) {
            failed_ = std::current_exception();
        }
    };
    if (p.first == p.last) {
        write();
        finish();
    } else {
        writer_.start(write);
    }
}

void ProgressLines::finish()
{
    writer_.finish();
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
}
