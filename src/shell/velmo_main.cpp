#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/list_command.h"
#include "app/main.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "feed/state_feed.h"
#include "shell/browser/serve.h"
#include "shell/desktop_linux.h"
#include "shell/gtk/window.h"
#include "terminals/names.h"

namespace {

const char* kUsageEnglish =
    "usage: velmo [--list | --spend | --search TEXT [--smart] | --serve [--port N] [--no-open]] [FILE]\n"
    "  (no option)  the window; without a display server, browser mode\n"
    "  FILE         a document to open in the reader (in the Velmo already running, if any)\n"
    "  --list       print the agent terminals as JSON and exit\n"
    "  --spend      count the tokens of every transcript, print the totals as JSON and exit\n"
    "  --search TEXT  search every past conversation, print the results as JSON and exit\n"
    "  --smart      with --search: also ask the agent which conversations and files the\n"
    "               text means (\"smart\" rows; \"smartFailed\" and exit status 3 when\n"
    "               it could not answer)\n"
    "  --serve      serve the page on 127.0.0.1 for a browser; the first line printed\n"
    "               is its address with the access token\n"
    "  --port N     listen on port N (default: any free port)\n"
    "  --no-open    do not open the address in a browser\n"
    "  --version    print the version and exit\n";
const char* kUsageHebrew =
    "שימוש: velmo [--list | --spend | --search TEXT [--smart] | --serve [--port N] [--no-open]] [FILE]\n"
    "  (בלי אפשרות)  החלון; בלי שרת תצוגה, מצב דפדפן\n"
    "  FILE         מסמך לפתיחה בקורא (בולמו שכבר רץ, אם יש)\n"
    "  --list       הדפסת מסופי הסוכן כ־JSON ויציאה\n"
    "  --spend      ספירת הטוקנים של כל השיחות, הדפסת הסכומים כ־JSON ויציאה\n"
    "  --search TEXT  חיפוש בכל השיחות שהיו, הדפסת התוצאות כ־JSON ויציאה\n"
    "  --smart      עם --search: גם לשאול את הסוכן לאילו שיחות וקבצים הטקסט מתכוון\n"
    "               (שורות \"smart\"; \"smartFailed\" וקוד יציאה 3 כשלא ענה)\n"
    "  --serve      הגשת הדף ב־127.0.0.1 לדפדפן; השורה הראשונה שמודפסת\n"
    "               היא הכתובת עם אסימון הגישה\n"
    "  --port N     האזנה בפורט N (ברירת המחדל: כל פורט פנוי)\n"
    "  --no-open    בלי לפתוח את הכתובת בדפדפן\n"
    "  --version    הדפסת הגרסה ויציאה\n";

const char* usage() {
  return Lang::pick(kUsageEnglish, kUsageHebrew);
}

int usageError(const std::string& why) {
  Log::note(why);
  std::fputs(usage(), stderr);
  return 2;
}

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

int serveInstead(const std::string& document) {
  // Opening a browser needs a display too, so the address is only printed.
  Log::note(Lang::pick("no display server — serving the page for a browser instead",
                       "אין שרת תצוגה — הדף מוגש לדפדפן במקום חלון"));
  return runServe(ServeOptions{0, false, document});
}

// A document named on the command line, as an absolute path: a Velmo already running
// reads it from another folder.
std::string documentPath(const std::string& arg) {
  std::error_code ec;
  auto path = std::filesystem::absolute(arg, ec);
  return ec ? arg : path.lexically_normal().string();
}

}  // namespace

int velmoMain(int argc, char** argv) {
  // The rack, the state file, the gate and the list show the user's names.
  UserNames::install([] { return Names::all(); });
  bool serve = false, list = false;
  ServeOptions options;
  bool portGiven = false, noOpenGiven = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage(), stdout);
      return 0;
    } else if (arg == "--version") {
      std::puts(Version::line("velmo").c_str());
      return 0;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--serve") {
      serve = true;
    } else if (arg == "--no-open") {
      options.open = false;
      noOpenGiven = true;
    } else if (arg == "--port" || Text::startsWith(arg, "--port=")) {
      std::string value = arg == "--port" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(7);
      long long port = -1;
      if (!Text::parseInt(value, port) || port < 0 || port > 65535)
        return usageError(
            Lang::pick("--port needs a number from 0 to 65535", "--port צריך מספר בין 0 ל־65535"));
      options.port = static_cast<int>(port);
      portGiven = true;
    } else if (!arg.empty() && arg[0] != '-') {
      files.push_back(documentPath(arg));
    } else {
      return usageError(Lang::pick("unknown option ", "אפשרות לא מוכרת ") + arg);
    }
  }
  if (list) return runList();
  Desktop::install(Desktop::linuxHost());
  if (!serve && (portGiven || noOpenGiven))
    return usageError(
        Lang::pick("--port and --no-open go with --serve", "--port ו־--no-open באים עם --serve"));
  if (files.size() > 1)
    return usageError(Lang::pick("one document at a time", "מסמך אחד בכל פעם"));
  std::string document = files.empty() ? "" : files.front();
  if (serve) {
    options.document = document;
    return runServe(options);
  }

  if (!hasDisplay()) return serveInstead(document);
  bool noDisplay = false;
  int status = runWindow(argv[0], files, noDisplay);
  return noDisplay ? serveInstead(document) : status;
}
