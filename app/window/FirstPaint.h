#pragma once
// The main window's created event runs slow work on the window thread (the information
// page); the window is on the screen before that work holds the thread.

#include <QWidget>
#include <chrono>
#include <functional>

namespace morvane {

// Should the window system never show the window (started on a hidden desktop, say), the
// step runs after this all the same.
inline constexpr std::chrono::milliseconds kLongestWaitForFirstPaint{5000};

// Shows `window` and runs `step` on the window thread once the window has been exposed and
// painted for the first time and the painting has gone out to the screen.
void ShowThenRunAfterFirstPaint(QWidget& window, std::function<void()> step);

}  // namespace morvane
