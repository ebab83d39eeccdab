#include "control/client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/lang.h"
#include "base/text.h"

namespace Control {
namespace {

const char* kUsageEnglish =
    "usage: velmo-q COMMAND …\n"
    "Talks to a running Velmo over its control socket (~/.claude/velmo-state/velmo-HOST.sock):\n"
    "writes one request, prints the reply as JSON.\n"
    "\n"
    "  ping                               is Velmo there (its process id)\n"
    "  state                              the state of every terminal, read afresh\n"
    "  list                               every open question, with its id, kind and gate\n"
    "  answer SESSION --option TEXT       pick an option (its label, a unique start of it,\n"
    "                                     or #N for option number N)\n"
    "  answer SESSION --text TEXT         type a free-text answer\n"
    "         [--expect ID]               only if the question on screen still has this id\n"
    "         [--orlen-click TOKEN]       the token of Orlen's approval (request-click)\n"
    "         [--orlen-relayed --relay-from SID]\n"
    "                                     Orlen gave this answer in session SID's own\n"
    "                                     conversation within the last 30 minutes\n"
    "  request-click SESSION --option TEXT [--expect ID] [--timeout SECONDS]\n"
    "                                     ask Orlen to approve the answer in Velmo's window;\n"
    "                                     waits (5 to 600 s, default 600) and prints the token\n"
    "  send SESSION TEXT                  type a message into an idle terminal\n"
    "\n"
    "SESSION is a session id, a tty, a process id, a slot number, a session-id prefix of six\n"
    "characters or more, or the session's name.\n"
    "--version prints the version; --help, this text.\n"
    "Exit status: 0 when the reply's \"ok\" is true (or absent), 1 when it is false, 2 when\n"
    "Velmo cannot be reached (the reason on standard error), 64 for a usage error.\n";
const char* kUsageHebrew =
    "שימוש: velmo-q פקודה …\n"
    "מדבר עם ולמו שרץ דרך שקע הבקרה שלו (~/.claude/velmo-state/velmo-HOST.sock):\n"
    "כותב בקשה אחת ומדפיס את התשובה כ־JSON.\n"
    "\n"
    "  ping                               האם ולמו שם (מספר התהליך שלו)\n"
    "  state                              מצב כל המסופים, נקרא מחדש\n"
    "  list                               כל השאלות הפתוחות, עם המזהה, הסוג והשער\n"
    "  answer SESSION --option TEXT       בחירת אפשרות (התווית, תחילה ייחודית שלה,\n"
    "                                     או #N לאפשרות מספר N)\n"
    "  answer SESSION --text TEXT         הקלדת תשובה חופשית\n"
    "         [--expect ID]               רק אם לשאלה שעל המסך עדיין המזהה הזה\n"
    "         [--orlen-click TOKEN]       האסימון של אישור אורלן (request-click)\n"
    "         [--orlen-relayed --relay-from SID]\n"
    "                                     אורלן נתן את התשובה הזו בשיחה של SID עצמה\n"
    "                                     ב־30 הדקות האחרונות\n"
    "  request-click SESSION --option TEXT [--expect ID] [--timeout SECONDS]\n"
    "                                     בקשה מאורלן לאשר את התשובה בחלון של ולמו;\n"
    "                                     ממתין (5 עד 600 שניות, ברירת מחדל 600) ומדפיס אסימון\n"
    "  send SESSION TEXT                  הקלדת הודעה במסוף פנוי\n"
    "\n"
    "SESSION הוא מזהה שיחה, tty, מספר תהליך, מספר משבצת, תחילת מזהה שיחה של שישה\n"
    "תווים לפחות, או שם השיחה.\n"
    "--version מדפיס את הגרסה; --help, את הטקסט הזה.\n"
    "קוד יציאה: 0 כש־\"ok\" בתשובה אמת (או חסר), 1 כשהוא שקר, 2 כשאין גישה לולמו\n"
    "(הסיבה בפלט השגיאות), 64 לשימוש שגוי.\n";

ClientCall usageError(const std::string& why) {
  ClientCall call;
  call.error = why;
  return call;
}

}  // namespace

std::string clientUsage() {
  return Lang::pick(kUsageEnglish, kUsageHebrew);
}

ClientCall parseClient(const std::vector<std::string>& args) {
  if (args.empty()) return usageError(Lang::pick("no command given", "לא ניתנה פקודה"));
  // Help and version where a command, a session or an option is expected; a message or an
  // option's value that reads "--help" is text like any other.
  auto asksHelp = [](const std::string& a) { return a == "--help" || a == "-h" || a == "--version"; };
  auto helpCall = [](const std::string& a) {
    ClientCall call;
    call.help = a != "--version";
    call.version = !call.help;
    return call;
  };
  if (asksHelp(args[0])) return helpCall(args[0]);
  if (args.size() > 1 && asksHelp(args[1])) return helpCall(args[1]);
  const std::string& cmd = args[0];
  if (cmd == "ping" || cmd == "state" || cmd == "list") {
    if (args.size() > 1)
      return usageError(Lang::pick("unexpected argument ", "ארגומנט לא צפוי ") + args[1]);
    ClientCall call;
    call.request = {{"cmd", cmd}};
    return call;
  }
  if (cmd != "answer" && cmd != "request-click" && cmd != "send")
    return usageError(Lang::pick("unknown command ", "פקודה לא מוכרת ") + cmd);
  if (args.size() < 2 || Text::startsWith(args[1], "--"))
    return usageError(Lang::pick("which session? ", "איזו שיחה? ") + cmd + " SESSION …");

  nlohmann::json request = {{"cmd", cmd}, {"session", args[1]}};
  if (cmd == "send") {
    std::vector<std::string> words(args.begin() + 2, args.end());
    std::string text = Text::join(words, " ");
    if (Text::trim(text).empty())
      return usageError(Lang::pick("send needs a text", "send צריך טקסט"));
    request["text"] = text;
    ClientCall call;
    call.request = request;
    return call;
  }

  bool relayed = false;
  for (size_t i = 2; i < args.size(); ++i) {
    std::string flag = args[i], value;
    bool inlineValue = false;
    if (auto eq = flag.find('='); Text::startsWith(flag, "--") && eq != std::string::npos) {
      value = flag.substr(eq + 1);
      flag = flag.substr(0, eq);
      inlineValue = true;
    }
    if (asksHelp(flag)) return helpCall(flag);
    if (flag == "--orlen-relayed" && cmd == "answer") {
      relayed = true;
      continue;
    }
    static const std::vector<std::pair<std::string, std::string>> answerFlags = {
        {"--option", "option"},
        {"--text", "text"},
        {"--expect", "expect"},
        {"--orlen-click", "token"},
        {"--relay-from", "relayFrom"}};
    static const std::vector<std::pair<std::string, std::string>> clickFlags = {
        {"--option", "option"}, {"--expect", "expect"}, {"--timeout", "timeout"}};
    const auto& known = cmd == "answer" ? answerFlags : clickFlags;
    auto it =
        std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == flag; });
    if (it == known.end())
      return usageError(Lang::pick("unknown option ", "אפשרות לא מוכרת ") + args[i]);
    if (!inlineValue) {
      if (i + 1 >= args.size()) return usageError(flag + Lang::pick(" needs a value", " צריך ערך"));
      value = args[++i];
    }
    if (it->second == "timeout") {
      long long seconds = 0;
      if (!Text::parseInt(value, seconds))
        return usageError(Lang::pick("--timeout needs a whole number of seconds",
                                     "--timeout צריך מספר שלם של שניות"));
      request["timeout"] = seconds;
    } else {
      request[it->second] = value;
    }
  }
  bool option = request.contains("option"), text = request.contains("text");
  if (cmd == "answer" && option == text)
    return usageError(
        Lang::pick("answer needs --option TEXT or --text TEXT (one of them)",
                   "answer צריך ‎--option TEXT או ‎--text TEXT (אחד מהם)"));
  if (cmd == "request-click" && !option)
    return usageError(
        Lang::pick("request-click needs --option TEXT", "request-click צריך ‎--option TEXT"));
  if (relayed != request.contains("relayFrom"))
    return usageError(Lang::pick("--orlen-relayed and --relay-from SID go together",
                                 "‎--orlen-relayed ו־‎--relay-from SID באים יחד"));
  if (relayed) request["relayed"] = true;
  ClientCall call;
  call.request = request;
  return call;
}

Exchange exchange(const std::string& path, const nlohmann::json& request, double seconds) {
  Exchange out;
  auto fail = [&](const std::string& why) {
    out.failure = why;
    return out;
  };
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() + 1 > sizeof addr.sun_path)
    return fail(Lang::pick("the socket path is too long: ", "נתיב השקע ארוך מדי: ") + path);
  path.copy(addr.sun_path, path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(Text::systemError(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::string why = Text::systemError(errno);
    ::close(fd);
    return fail(Lang::pick("cannot reach Velmo at ", "אין גישה לולמו ב־") + path + " — " + why +
                Lang::pick(" (is it running?)", " (האם הוא רץ?)"));
  }
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string text = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string reply;
  char buffer[65536];
  bool timedOut = false;
  while (true) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timedOut = true;
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (timedOut && reply.empty())
    return fail(Lang::pick("Velmo did not reply in time", "ולמו לא ענה בזמן"));
  if (Text::trim(reply).empty())
    return fail(
        Lang::pick("Velmo closed the connection without a reply", "ולמו סגר את החיבור בלי תשובה"));
  auto json = nlohmann::json::parse(reply, nullptr, false);
  if (!json.is_object())
    return fail(
        Lang::pick("Velmo's reply is not a JSON object", "התשובה של ולמו אינה אובייקט JSON"));
  out.reply = std::move(json);
  return out;
}

}  // namespace Control
