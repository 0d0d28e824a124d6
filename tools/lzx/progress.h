// progress.h - a progress line on standard error, only when it is a terminal.
#pragma once

#include <chrono>
#include <string>

class ProgressLine {
public:
    // total 0: unknown, shown without a percentage.
    void Start(const std::string& label, long long total);
    void Update(long long done);
    void Finish();
    // A failure: a line drawn so far ends where it stands, so that the
    // failure's line is a line of its own.
    void Break();
    // No line from now on, terminal or not (-q).
    void Mute() { muted_ = true; }

private:
    void Draw(long long done, bool last);

    bool active_ = false;
    bool muted_ = false;
    std::string label_;
    long long total_ = 0;
    long long done_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_;
};
