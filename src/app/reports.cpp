#include "app/reports.h"

#include "base/lang.h"
#include "base/log.h"
#include "terminals/automation.h"
#include "terminals/input_row.h"

Reports::Reports(Dialogs* d, Lanes& l, std::shared_ptr<const AppSources> s)
    : dialogs(d), lanes(l), sources(std::move(s)) {}

void Reports::alert(const Alert& a, std::function<void(int)> done) {
  if (!dialogs) {
    Log::note(a.title + " — " + a.text);
    if (done) done(-1);
    return;
  }
  dialogs->alert(
      a, done ? std::move(done) : [](int) {});
}

Follow Reports::sendFailure() {
  alert({Lang::pick("The message was not sent", "ההודעה לא נשלחה"),
         Lang::pick("Could not reach the terminal window. Usually its tmux server has "
                    "stopped, or it runs on a socket Velmo does not use — name that socket "
                    "in the setting \"tmuxSocket\".",
                    "לא הצלחתי להגיע לחלון־המסוף. בדרך כלל שרת ה־tmux שלו נעצר, "
                    "או שהוא פועל בשקע שוולמו לא משתמש בו — יש לציין את השקע "
                    "בהגדרה \"tmuxSocket\"."),
         {}});
  return Follow::repaint;
}

Follow Reports::sendFailure(const std::string& reason, const std::string& tty) {
  if (reason.empty()) return sendFailure();
  alertOfferingTerminal(Lang::pick("The answer was not sent", "התשובה לא נשלחה"), reason, tty);
  return Follow::rescan;
}

Follow Reports::messageFailure(const std::string& reason, const std::string& tty) {
  alertOfferingTerminal(Lang::pick("The message was not sent", "ההודעה לא נשלחה"), reason, tty);
  return Follow::rescan;
}

Follow Reports::unsentText(const std::string& tty) {
  alertOfferingTerminal(Lang::pick("The message was not sent", "ההודעה לא נשלחה"),
                        Terminals::unsentRefusal(), tty);
  return Follow::rescan;
}

void Reports::alertOfferingTerminal(const std::string& title, const std::string& text,
                                    const std::string& tty) {
  // The alert may be answered after the application has gone.
  alert(
      {title, text, {Lang::pick("Open the terminal", "לחלון־המסוף"), Lang::pick("Close", "סגירה")}},
      lanes.guarded([this, tty](int button) {
        if (button != 0) return;
        lanes.background([src = sources, tty] { Terminals::raise(tty, src->openTerminals()); });
      }));
}

void Reports::closedTerminal() {
  alert({Lang::pick("The terminal for this conversation is closed", "המסוף של השיחה הזאת סגור"),
         Lang::pick("You can read it, but there is nowhere to send to. "
                    "To carry on you need to reopen it in a terminal.",
                    "אפשר לקרוא אותה, אבל אין לאן לשלוח. "
                    "כדי להמשיך בה צריך לפתוח אותה מחדש במסוף."),
         {}});
}

void Reports::openFailure(const std::string& message) {
  alert({Lang::pick("The terminal did not open", "המסוף לא נפתח"), message, {}});
}
