// The progress display of assocnet on standard error.
#include "display.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

double clockSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

namespace {

std::string duration(double s)
{
    const long t = std::lround(s);
    if (t < 60) return std::to_string(t) + " s";
    if (t < 3600) return std::to_string(t / 60) + " min " + std::to_string(t % 60) + " s";
    return std::to_string(t / 3600) + " h " + std::to_string(t / 60 % 60) + " min";
}

void emit(const std::string& text) { std::fputs(text.c_str(), stderr); }

}  // namespace

void showStage(Display& d, const std::string& stage)
{
    d.stage = stage;
    d.stageStart = d.lastShown = clockSeconds();
    if (d.quiet) return;
    if (d.terminal) {
        emit("\r\033[K" + stage + "...");
        d.lineOpen = true;
    } else {
        emit("assocnet: " + stage + "\n");
    }
    std::fflush(stderr);
}

void showShare(Display& d, double share)
{
    if (d.quiet) return;
    const double now = clockSeconds();
    if (now - d.lastShown < (d.terminal ? 0.2 : 60)) return;
    d.lastShown = now;
    std::string line = d.stage + ": " + std::to_string(static_cast<int>(share * 100)) + "%";
    const double spent = now - d.stageStart;
    if (share > 0.001 && spent > 1) line += ", about " + duration(spent * (1 - share) / share) + " left";
    if (d.terminal)
        emit("\r\033[K" + line);
    else
        emit("assocnet: " + line + "\n");
    std::fflush(stderr);
}

void showWarning(Display& d, const std::string& text)
{
    if (d.silent) return;
    endDisplay(d);
    emit("assocnet: warning: " + text + "\n");
    std::fflush(stderr);
}

void endDisplay(Display& d)
{
    if (!d.lineOpen) return;
    emit("\r\033[K");
    std::fflush(stderr);
    d.lineOpen = false;
}
