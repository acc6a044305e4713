#pragma once
// The updater's user-facing console: one-line messages, a progress bar and a
// spinner. Every operation receives one by reference; nothing else prints
// user-facing text except the usage text.

class UpdaterDisplayInterface {
public:
  // 0 information, 1 error; any other value is shown as information.
  typedef int Level;
  static constexpr Level LEVEL_INFO = 0;
  static constexpr Level LEVEL_ERROR = 1;

  UpdaterDisplayInterface() : muted(false) {}

  virtual void display_progress(bool on) = 0;
  // fraction 0.0 to 1.0; label may be null for none.
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Silences message only: progress bar and spinner still draw.
  void mute_messages(bool mute) { muted = mute; }
  // Formats (cut to 2047 characters) and hands the text to error_message for
  // level 1, else to info_message. The display ends each message with a line end.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  bool muted;

protected:
  // Not deleted through this type; the destructor stays non-virtual.
  ~UpdaterDisplayInterface() = default;
  UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
  UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;
};
