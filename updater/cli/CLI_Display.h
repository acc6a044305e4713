#pragma once
// The console of the command-line tool: messages on standard output (information)
// and standard error (errors); progress bar and spinner only when standard output
// is a terminal, drawn on one line with carriage returns.
#include <cstdint>

#include "updater/cli/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
  // Switches standard output and standard error to unbuffered, so each piece of
  // the line drawing reaches the terminal at once.
  CLI_Display();
  ~CLI_Display() = default;

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Shared by every instance and call: 0 to 7, never reset by clearing.
  static uint8_t spinnerFrame;
};
