// The progress display of assocnet on standard error.
#pragma once

#include <string>

// On a terminal one line redrawn in place: the stage, the share done and the
// time left; otherwise one line per stage and at most one a minute within a
// stage. Nothing when quiet.
struct Display {
    bool quiet = false;
    bool silent = false;     // not even warnings: a rank other than 0 of a job
    bool terminal = false;
    std::string stage;
    double stageStart = 0;   // seconds, monotonic
    double lastShown = 0;
    bool lineOpen = false;   // a redrawn line is on the terminal
};
// Seconds on the monotonic clock.
double clockSeconds();
// A new stage begins.
void showStage(Display& d, const std::string& stage);
// Share (0..1) of the current stage done.
void showShare(Display& d, double share);
// A warning: on its own line, not mixed with the redrawn one.
void showWarning(Display& d, const std::string& text);
// Ends the redrawn line, if any.
void endDisplay(Display& d);
