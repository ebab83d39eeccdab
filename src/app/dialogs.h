#pragma once
// The seam to the window around the page: bringing it forward and its modal alerts
// (GTK message dialogs in the window, a modal drawn by the page in browser mode).

#include <functional>
#include <string>
#include <vector>

/// A modal alert; the first button is the default.
struct Alert {
  std::string title;
  std::string text;
  std::vector<std::string> buttons;  ///< empty: one standard button ("OK" / "אישור")
  std::string tag = {};  ///< names the alert for `dismiss`; "" for alerts nobody takes down
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  /// Shows the alert; `done` gets the index of the button chosen, or -1 when the alert
  /// went away unanswered (window closed, page gone). Runs on the main thread.
  virtual void alert(const Alert& alert, std::function<void(int)> done) = 0;
  /// Brings the window to the front and activates the application (nothing in browser mode).
  virtual void present() = 0;
  /// Whether an alert is on screen now.
  virtual bool showing() const { return false; }
  /// Takes the alerts with the tag down as if their button `index` was chosen.
  virtual void dismiss(const std::string& tag, int index) {
    (void)tag;
    (void)index;
  }
};
