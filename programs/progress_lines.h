// The seven programs' progress lines: one per pass of the sweep's highest
// order, as the sweep reports the passes complete,
//   Controlled for gene C at time = TIME        (order 1)
//   Controlled for C1 and C2 Time: TIME         (order 2)
//   Controlled for C1, C2 and C3 Time: TIME     (order 3)
// with the controlling variables numbered from 1 and TIME the ctime text of
// the moment the pass was reported (with its line feed), formatted at most
// once per second.
#pragma once

#include "core.h"

#include "parallel.h"

#include <ctime>
#include <exception>
#include <ostream>
#include <string>
#include <string_view>

// Appends one line per number n in [from, to): the head, n, the closing text
// and the time text (which ends the line).
void appendProgressLines(std::string& lines, std::string_view head, int from, int to,
                         std::string_view closing, const std::string& time);

// Appends the lines of the passes p, each ending with the time text.
void appendPassLines(std::string& lines, const Passes& p, const std::string& time);

// Writes the lines of the passes it is given to out, in order. A stretch of
// several passes is formed and written on a thread beside the caller while
// the sweep goes on; finish() waits for it (the destructor too).
class ProgressLines {
public:
    explicit ProgressLines(std::ostream& out) : out_(out) {}
    // The callback of a Progress.
    void operator()(const Passes& p);
    // Waits until every line is written; passes on a failure to form them.
    void finish();

private:
    const std::string& timeNow();

    std::ostream& out_;
    std::time_t shown_ = -1;
    std::string time_;
    std::string lines_;
    std::exception_ptr failed_;
    Beside writer_;
};
