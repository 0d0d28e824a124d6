// progress.cpp - "label [#########-----------]  42%  12.3 MB  45.6 MB/s",
// redrawn in place at most ten times a second.
#include "progress.h"

#include <cstdio>

#include "platform.h"

namespace {

constexpr int BarWidth = 24;

double Megabytes(long long bytes) {
    return static_cast<double>(bytes) / 1e6;
}

}  // namespace

void ProgressLine::Start(const std::string& label, long long total) {
    active_ = !muted_ && OsStderrIsTerminal();
    label_ = label;
    total_ = total;
    done_ = 0;
    start_ = drawn_ = std::chrono::steady_clock::now();
}

void ProgressLine::Update(long long done) {
    done_ = done;
    if (!active_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - drawn_ < std::chrono::milliseconds(100))
        return;
    drawn_ = now;
    Draw(done, false);
}

void ProgressLine::Finish() {
    if (active_ && std::chrono::steady_clock::now() - start_ >= std::chrono::milliseconds(100))
        Draw(done_, true);
    active_ = false;
}

void ProgressLine::Break() {
    if (active_ && drawn_ != start_)
        std::fputc('\n', stderr);
    active_ = false;
}

void ProgressLine::Draw(long long done, bool last) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? Megabytes(done) / seconds : 0;
    std::fprintf(stderr, "\r%s ", label_.c_str());
    if (total_ > 0) {
        const double part = done >= total_ ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
        const int filled = static_cast<int>(part * BarWidth);
        std::fputc('[', stderr);
        for (int i = 0; i < BarWidth; ++i)
            std::fputc(i < filled ? '#' : '-', stderr);
        std::fprintf(stderr, "] %3d%% ", static_cast<int>(part * 100));
    }
    std::fprintf(stderr, " %.1f MB  %.1f MB/s    %s", Megabytes(done), rate, last ? "\n" : "");
    std::fflush(stderr);
}
