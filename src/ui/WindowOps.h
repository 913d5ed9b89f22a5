// The one narrow interface through which the other units ask for window
// operations. The Qt window implements it; tests use a recording one.
// No Qt type appears here, so everything below the window builds without Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class Control { Button1, Button2, Button3, Button4 };

// Values in the 0x00BBGGRR notation of the original platform; ButtonFace stands
// for the system's button-face colour, whatever its value.
enum class WindowColour : std::uint32_t {
  ButtonFace = 0xFF000000u,
  LightGreen = 0x009FEAA9u,
  Red = 0x000000FFu,
};

// Timers that live on the window thread. Timer2 is not here: it must be
// started and stopped from any thread without waiting for the window thread.
enum class WindowTimer { Timer1, Timer3 };

// Win32 MessageBox flag and answer values, kept because callers compare them.
inline constexpr int kMbOk = 0;
inline constexpr int kMbOkCancel = 1;
inline constexpr int kMbYesNoInfo = 0x44;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

class IWindow {
 public:
  virtual ~IWindow() = default;

  // Asynchronous operations: from another thread they are carried to the
  // window thread and run there in the order they were asked for.
  virtual void EnableControl(Control control, bool enabled) = 0;
  virtual void ShowControl(Control control, bool visible) = 0;
  virtual void ClearLog() = 0;
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetGauge(int percent) = 0;
  virtual void SetColour(WindowColour colour) = 0;
  virtual void StartTimer(WindowTimer timer) = 0;
  virtual void StopTimer(WindowTimer timer) = 0;

  // Modal boxes wait for the user; called from another thread they hold that
  // thread until the box is closed (or the window goes away: then the answer
  // is the box's cancel value, kIdNo for Yes/No, kIdOk otherwise).
  virtual int MessageBox(const std::string& text, const std::string& caption, int flags) = 0;
  // The plain message: text and one OK button under the application's title.
  virtual void ShowMessage(const std::string& text) = 0;

  // Window-thread only: the hidden port list and the file dialog.
  virtual void PortListClear() = 0;
  virtual void PortListAdd(const std::string& name) = 0;
  virtual int PortListCount() = 0;
  // An index outside the list leaves no current entry.
  virtual void PortListSetCurrent(int index) = 0;
  virtual std::string PortListCurrentText() = 0;
  // filter in the "description|*.ext" form; false when the user cancels.
  virtual bool OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                              std::string& chosenPath) = 0;

  // Runs job on the window thread, after every operation asked for before it;
  // returns at once. A job posted after the window has gone is dropped.
  virtual void Post(std::function<void()> job) = 0;
  virtual bool IsWindowThread() const = 0;
};

// The window every unit talks to. Before SetWindow, a window that does nothing.
IWindow& Window();
void SetWindow(IWindow* window);
