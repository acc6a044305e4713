#include "updater/cli/CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

uint8_t CLI_Display::spinnerFrame = 0;

namespace {

const int kBarWidth = 69;
const int kLineWidth = 88;
const char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth, "the bar text is as wide as the bar");

const char* const kFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool Drawing() { return isatty(STDOUT_FILENO) == 1; }

void ClearLine() { std::printf("\r%*s\r", kLineWidth, " "); }

}  // namespace

CLI_Display::CLI_Display() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
  if (!Drawing()) return;
  if (!on) ClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!Drawing()) return;
  // A fraction outside 0..1 (or not a number) would overrun the bar or give a
  // negative width; it is drawn at the nearest end instead.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label != nullptr) {
    const size_t room = std::strlen(label) + 4;
    width = room >= static_cast<size_t>(kBarWidth) ? 0 : kBarWidth - static_cast<int>(room);
  }
  const int filled = static_cast<int>(width * fraction);
  const int percent = static_cast<int>(fraction * 100);
  if (label == nullptr)
    std::printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  else
    std::printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  if (!Drawing()) return;
  if (!on) {
    ClearLine();
    return;
  }
  const char* frame = kFrames[spinnerFrame % 8];
  if (label == nullptr)
    std::printf("\r %s      \r", frame);
  else
    std::printf("\r (%s) %s      \r", label, frame);
  spinnerFrame = static_cast<uint8_t>((spinnerFrame + 1) % 8);
}

void CLI_Display::info_message(const char* text) { std::printf("%s\n", text != nullptr ? text : ""); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text != nullptr ? text : ""); }
