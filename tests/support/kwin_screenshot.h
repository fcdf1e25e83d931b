// A window's pixels as KWin composites them, through its screenshot service
// on the D-Bus session bus (org.kde.KWin.ScreenShot2): KWin writes the raw
// image into a pipe whose end goes with the call.
#pragma once

#include <optional>
#include <string>

#include "tests/support/x11_probe.h"

namespace glimmer::testing {

// The active window's client area in device pixels (KWin's
// "native-resolution"), composited over black; nullopt, with `error` saying
// why, when KWin does not hand it over.
std::optional<Image> CaptureKWinActiveWindow(const std::string& bus_address, std::string& error);
// The same of the output named `screen`, in its device pixels.
std::optional<Image> CaptureKWinScreen(const std::string& bus_address, const std::string& screen,
                                       std::string& error);

}  // namespace glimmer::testing
