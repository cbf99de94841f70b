// SPDX-License-Identifier: MIT
#include "sim/plcsim_options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>
#include <type_traits>

#include "catalogue/model_table.h"

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  value = v;
  return true;
}

template <typename T>
bool Number(const std::string& what, const std::string& text, T& out, std::string& error,
            uint64_t max = static_cast<T>(~T{})) {
  uint64_t v = 0;
  if (!ParseNumber(text, max, v)) {
    error = what + ": not a number in range: \"" + text + "\"";
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

// One reading of a command line. Every default rests on the model and the
// image size, so the options that give them are read in a first pass.
struct Parsing {
  PlcsimOptions options;
  std::optional<int> model;
  std::optional<uint32_t> imageSize;
  std::string option;  // the option being read
  std::string error;

  PlcSettings& settings() { return options.settings; }
  template <typename T>
  bool Number(const std::string& text, T& out, uint64_t max = static_cast<T>(~T{})) {
    return ::Number(option, text, out, error, max);
  }
  bool Fail(std::string message) {
    error = std::move(message);
    return false;
  }
};

// What an option sets: a field of the settings or of the program's options.
template <typename Field>
struct FieldOf;
template <typename Class, typename Type>
struct FieldOf<Type Class::*> {
  using Owner = Class;
  using Value = Type;
};
template <auto kField>
auto& Target(Parsing& p) {
  if constexpr (std::is_same_v<typename FieldOf<decltype(kField)>::Owner, PlcSettings>) {
    return p.options.settings.*kField;
  } else {
    return p.options.*kField;
  }
}

template <auto kField, auto kValue>
bool Set(Parsing& p, const std::string&) {
  Target<kField>(p) = kValue;
  return true;
}

template <auto kField>
bool SetText(Parsing& p, const std::string& value) {
  Target<kField>(p) = value;
  return true;
}

template <auto kField, uint64_t kMax = static_cast<typename FieldOf<decltype(kField)>::Value>(
                           ~typename FieldOf<decltype(kField)>::Value{})>
bool SetNumber(Parsing& p, const std::string& value) {
  return p.Number(value, Target<kField>(p), kMax);
}

template <FaultKind kKind>
bool AddFault(Parsing& p, const std::string& value) {
  const auto fault = ParseFaultTarget(kKind, value, p.error);
  if (fault) p.settings().faults.push_back(*fault);
  return fault.has_value();
}

struct Option {
  const char* name;   // nullptr: a heading of the help text, in `help`
  const char* value;  // what it takes, as the help names it; nullptr: nothing
  bool firstPass;     // gives the model or the image size
  bool (*apply)(Parsing& p, const std::string& value);
  // Its lines in the help; each '\n' starts a new line under the first.
  const char* help;
  // A word that may follow an option without a value, as its value.
  const char* word = nullptr;
};

// The value an option takes at args[i], moving i past it.
std::string ValueAt(const Option& option, const std::vector<std::string>& args, size_t& i) {
  if (option.value != nullptr) return args[++i];
  if (option.word != nullptr && i + 1 < args.size() && args[i + 1] == option.word) return args[++i];
  return {};
}

// The options in the order of the help text.
constexpr Option kOptions[] = {
    {nullptr, nullptr, false, nullptr, "The link:"},
    {"--link", "PATH", false, SetText<&PlcsimOptions::link>,
     "make PATH a symbolic link to the pseudo-terminal's slave;\n"
     "open PATH as the serial port (e.g. a test's port name, or\n"
     "$WINEPREFIX/dosdevices/com5 for a Windows program under\n"
     "wine). Closing and reopening it is the replug or power\n"
     "cycle; leave a moment between the two, as an operator\n"
     "does (bytes still in the pseudo-terminal when the link is\n"
     "reopened within the same millisecond cannot be told from\n"
     "the new connection's). Prints \"ready PATH\" once PATH exists."},
    {"--model", "NAME", true,
     [](Parsing& p, const std::string& v) {
       p.model = FindModel(v);
       return p.model || p.Fail("--model: no model is named \"" + v + "\"");
     },
     "the model the PLC is, as the model list names it (GL30, KR2-E, ...)"},
    {"--image-size", "BYTES", true,
     [](Parsing& p, const std::string& v) {
       uint32_t size = 0;
       if (!p.Number(v, size)) return false;
       p.imageSize = size;
       return true;
     },
     "size of the image the tool will send: the erase and block\n"
     "counts, and the 0x1A fill, are checked against it"},
    {"--image", "FILE", true,
     [](Parsing& p, const std::string& v) {
       std::ifstream file(v, std::ios::binary);
       if (!file) return p.Fail("--image: cannot read \"" + v + "\"");
       std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
       if (bytes.size() > 0xFFFFFFFFu) return p.Fail("--image: larger than 4 GiB");
       p.imageSize = static_cast<uint32_t>(bytes.size());
       p.options.image = std::move(bytes);
       return true;
     },
     "the same, sized by FILE; the report also says whether the\n"
     "flash equals FILE (the first size - 4096 bytes for the GL30\n"
     "family)"},

    {nullptr, nullptr, false, nullptr, "Settings (the defaults pass every check of the tool):"},
    {"--start-mode", "MODE", false,
     [](Parsing& p, const std::string& v) {
       if (v != "application" && v != "loader") {
         return p.Fail("--start-mode: application or loader, not \"" + v + "\"");
       }
       p.settings().startMode = v == "loader" ? PlcMode::kLoader : PlcMode::kApplication;
       return true;
     },
     "application (default) or loader"},
    {"--app-id", "CODE", false, SetNumber<&PlcSettings::applicationId>,
     "identity code reported in application mode (default: the model's)"},
    {"--loader-id", "CODE", false, SetNumber<&PlcSettings::loaderId>,
     "identity code reported to \"ID\" (default: one the model's loader\n"
     "rule accepts: the code, or code & 0x7FFF for the L3 models)"},
    {"--app-version", "BYTE", false, SetNumber<&PlcSettings::applicationVersion>,
     "version byte in the reply to the version query (default 0x12)"},
    {"--loader-version", "A,B", false,
     [](Parsing& p, const std::string& v) {
       const size_t comma = v.find(',');
       if (comma == std::string::npos) return p.Fail("--loader-version takes A,B");
       return p.Number(v.substr(0, comma), p.settings().loaderVersion[0]) &&
              p.Number(v.substr(comma + 1), p.settings().loaderVersion[1]);
     },
     "the two bytes after 0x06 in the reply to \"VERSION\" (default 0x01,0x20)"},
    {"--d1386", "VALUE", false, SetNumber<&PlcSettings::d1386>,
     "register values (defaults pass the model's compatibility check)"},
    {"--d1001", "VALUE", false, SetNumber<&PlcSettings::d1001>, ""},
    {"--d1148", "VALUE", false, SetNumber<&PlcSettings::d1148>, ""},
    {"--no-wake-reply", nullptr, false, Set<&PlcSettings::answerWakeUp, false>,
     "do not answer the wake-up frames (default: the 11-byte exception reply)"},
    {"--erase-reply", nullptr, false, Set<&PlcSettings::eraseRestartsSilently, false>,
     "answer the erase request and wait for the confirmation (the default\n"
     "for every model but KR2-C-V2, KR2-C-V4 and PW2-CAR, which restart\n"
     "at the erase request without a reply)"},
    {"--silent-erase", nullptr, false, Set<&PlcSettings::eraseRestartsSilently, true>,
     "restart at the erase request without a reply, whatever the model"},
    {"--no-speed-check", nullptr, false, Set<&PlcSettings::checkLineSpeed, false>,
     "take requests at any line speed (default, for serial models: a request\n"
     "not at 9600 baud, or a block or the final 0x04 not at 115200, is a\n"
     "violation and goes unanswered)"},
    {"--pacing", nullptr, false, Set<&PlcSettings::pacing, true>,
     "hold each reply until the request would have crossed a real wire at\n"
     "the speed the tool set, then send it at that speed"},
    {"--reply-delay", "MS", false, SetNumber<&PlcSettings::replyDelayMs, 600000>,
     "hold each reply back MS milliseconds more"},
    {"--repeated-block", "ack|refuse", false,
     [](Parsing& p, const std::string& v) {
       if (v != "ack" && v != "refuse") {
         return p.Fail("--repeated-block: ack or refuse, not \"" + v + "\"");
       }
       p.settings().refuseRepeatedBlock = v == "refuse";
       return true;
     },
     "how the loader answers a block it has already written when the\n"
     "tool sends it again (it did not take the acknowledgement): 0x06\n"
     "again (default), or 0x15"},
    {"--stays-in-application", nullptr, false, Set<&PlcSettings::staysInApplication, true>,
     "take the command to start the loader (the erase confirmation),\n"
     "but go on running the application firmware"},
    {"--restart-fails", nullptr, false,
     [](Parsing& p, const std::string& v) {
       p.settings().restartAfterUpdate =
           v.empty() ? RestartAfterUpdate::kLoader : RestartAfterUpdate::kSilent;
       return true;
     },
     "the new firmware does not start: after a completed update, the\n"
     "replug or power cycle (the link reopened) finds the loader\n"
     "answering again; with \"silent\", nothing answers at all",
     "silent"},

    {nullptr, nullptr, false, nullptr,
     "Faults (each may be given more than once). OP names a request: wake, check,\n"
     "app-id, d1386, d1001, d1148, app-version, app-erase, app-confirm, id, version,\n"
     "erase, erase-eot, update, block, final-eot. A target is OP (every time), OP@N\n"
     "(the N-th time the PLC hears it) or OP@NxK (K times from the N-th on); for\n"
     "block, N is the block (1 = the first of the image) and K counts the packets\n"
     "that carry it."},
    {"--silent", nullptr, false,
     [](Parsing& p, const std::string&) {
       p.settings().faults.push_back({FaultKind::kSilence, PlcRequest::kUnknown, 0, 1, 0, 0});
       return true;
     },
     "never answer anything"},
    {"--silence", "TARGET", false, AddFault<FaultKind::kSilence>,
     "do not hear the request: no action, no reply\n"
     "(e.g. --silence erase@3: no reply to the third \"ERASE\")"},
    {"--refuse", "TARGET:CLASS:DETAIL", false, AddFault<FaultKind::kRefuse>,
     "check, app-id, app-version, app-erase: status 0x15 with that\n"
     "refusal class and detail; d1386, d1001, d1148: a Modbus exception\n"
     "reply with DETAIL as its code"},
    {"--garble-lrc", "TARGET", false, AddFault<FaultKind::kGarbleLrc>,
     "a Modbus reply whose LRC is off by one"},
    {"--lower-case", "TARGET", false, AddFault<FaultKind::kLowerCase>,
     "a Modbus reply in lower-case hexadecimal"},
    {"--short-reply", "TARGET", false, AddFault<FaultKind::kShortReply>,
     "the reply without its last byte"},
    {"--nak", "TARGET", false, AddFault<FaultKind::kNak>,
     "loader requests: 0x15 instead of the reply, nothing done\n"
     "(e.g. --nak block@5x3: 0x15 three times to block 5)"},
    {"--flash-error", "TARGET", false, AddFault<FaultKind::kFlashWriteError>,
     "block, final-eot: 0x16 (flash write error), nothing written"},
    {"--disconnect", "TARGET", false, AddFault<FaultKind::kDisconnect>,
     "the link drops when the request arrives: the pseudo-terminal goes\n"
     "away and PATH is made again to a new one, as a USB device\n"
     "that re-enumerates (e.g. --disconnect block@10)"},
    {"--late", "TARGET", false, AddFault<FaultKind::kLate>,
     "act on the request, but send the reply late: after the tool's\n"
     "3000 ms read has given up on it (see --late-by)"},
    {"--late-by", "MS", false, SetNumber<&PlcSettings::lateReplyMs, 600000>,
     "how long after its request a late reply goes out (default 3100)"},
    {"--bit-errors", "RATE", false,
     [](Parsing& p, const std::string& v) {
       char* end = nullptr;
       errno = 0;
       const double rate = std::strtod(v.c_str(), &end);
       if (v.empty() || errno != 0 || *end != '\0' || !(rate >= 0 && rate <= 1)) {
         return p.Fail("--bit-errors: a chance from 0 to 1, not \"" + v + "\"");
       }
       p.settings().bitErrorRate = rate;
       return true;
     },
     "flip each reply bit with this chance (e.g. 1e-4)"},
    {"--seed", "N", false, SetNumber<&PlcSettings::bitErrorSeed>,
     "seed of the bit errors (default 1)"},

    {nullptr, nullptr, false, nullptr, "Output and ending:"},
    {"--report", "FILE", false, SetText<&PlcsimOptions::report>,
     "write the record as JSON on exit"},
    {"--flash-out", "FILE", false, SetText<&PlcsimOptions::flashOut>,
     "write the flash on exit: every block written, fill included, from\n"
     "address 0"},
    {"--verbose", nullptr, false, Set<&PlcsimOptions::verbose, true>,
     "print every request and violation on stderr"},
    {"--exit-when-complete", nullptr, false, Set<&PlcsimOptions::exitWhenComplete, true>,
     "end once the update completed and the tool closed the link\n"
     "(or 5 s after the completion at the latest)"},
    {"--timeout", "SECONDS", false, SetNumber<&PlcsimOptions::timeoutSeconds, 7 * 24 * 3600>,
     "end after SECONDS whatever happens"},
    {"--help", nullptr, true, Set<&PlcsimOptions::help, true>, "this text"},
};

constexpr char kHelpStart[] = R"(morvix-plcsim: a simulated Morvix PLC on a pseudo-terminal.

It plays one PLC model: its application firmware (Modbus ASCII) and its
loader, by that model's rules, and answers the firmware update tool from the
PLC's side. It records every request, every violation of the dialogue (with
its reason), the flash it wrote and whether the update completed.

Usage:
  morvix-plcsim --link PATH --model NAME (--image-size BYTES | --image FILE) [options]
)";

constexpr char kHelpEnd[] = R"(
It ends cleanly on SIGTERM or SIGINT, writing its report and flash. Exit
status: 0 no violation was recorded, 1 violations were recorded, 2 the
command line is wrong, 3 the pseudo-terminal or a file could not be made.
)";

const Option* FindOption(std::string_view name) {
  if (name == "-h") name = "--help";
  for (const Option& option : kOptions) {
    if (option.name != nullptr && name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

std::string PlcsimHelp() {
  // Option, value and help in two columns; a long option puts its help
  // under it.
  constexpr size_t kHelpColumn = 24;
  std::string text = kHelpStart;
  for (const Option& option : kOptions) {
    if (option.name == nullptr) {
      text = text + "\n" + option.help + "\n";
      continue;
    }
    std::string line = std::string("  ") + option.name;
    if (option.value != nullptr) line = line + " " + option.value;
    if (option.word != nullptr) line = line + " [" + option.word + "]";
    if (*option.help != '\0') {
      line += line.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - line.size(), ' ')
                                             : "\n" + std::string(kHelpColumn, ' ');
    }
    for (const char* c = option.help; *c != '\0'; ++c) {
      line += *c;
      if (*c == '\n') line += std::string(kHelpColumn, ' ');
    }
    text += line + "\n";
  }
  return text + kHelpEnd;
}

std::optional<PlcFault> ParseFaultTarget(FaultKind kind, const std::string& text,
                                         std::string& error) {
  PlcFault fault{kind, PlcRequest::kUnknown, 0, 1, 0, 0};
  std::string target = text;
  if (kind == FaultKind::kRefuse) {
    // OP[@N[xK]]:CLASS:DETAIL
    const size_t second = target.rfind(':');
    const size_t first = second == std::string::npos ? second : target.rfind(':', second - 1);
    if (first == std::string::npos || second == 0) {
      error = "--refuse takes TARGET:CLASS:DETAIL, not \"" + text + "\"";
      return std::nullopt;
    }
    if (!Number("--refuse class", target.substr(first + 1, second - first - 1), fault.refusalClass,
                error) ||
        !Number("--refuse detail", target.substr(second + 1), fault.refusalDetail, error)) {
      return std::nullopt;
    }
    target.resize(first);
  }
  std::string name = target;
  const size_t at = target.find('@');
  if (at != std::string::npos) {
    name = target.substr(0, at);
    std::string count = target.substr(at + 1);
    const size_t x = count.find('x', count.compare(0, 2, "0x") == 0 ? 2 : 0);
    if (x != std::string::npos) {
      if (!Number("fault count", count.substr(x + 1), fault.times, error)) return std::nullopt;
      count.resize(x);
    }
    if (!Number("fault position", count, fault.nth, error)) return std::nullopt;
    if (fault.nth == 0) {
      error = "fault position counts from 1: \"" + text + "\"";
      return std::nullopt;
    }
  }
  const auto request = PlcRequestByName(name);
  if (!request || *request == PlcRequest::kUnknown) {
    error = "unknown request \"" + name + "\" in \"" + text + "\"";
    return std::nullopt;
  }
  fault.request = *request;
  const std::string problem = PlcFaultProblem(fault);
  if (!problem.empty()) {
    error = problem;
    return std::nullopt;
  }
  return fault;
}

std::optional<PlcsimOptions> ParsePlcsimOptions(const std::vector<std::string>& args,
                                                std::string& error) {
  Parsing p;
  // First pass: the model and the image size, on which every default rests.
  // Options not known are left to the second pass to report.
  for (size_t i = 0; i < args.size(); ++i) {
    const Option* option = FindOption(args[i]);
    if (option == nullptr) continue;
    if (option->value != nullptr && i + 1 >= args.size()) {
      error = args[i] + " needs a value";
      return std::nullopt;
    }
    const std::string value = ValueAt(*option, args, i);
    if (!option->firstPass) continue;
    p.option = option->name;
    if (!option->apply(p, value)) {
      error = p.error;
      return std::nullopt;
    }
    if (p.options.help) return p.options;
  }
  if (!p.model) {
    error = "--model NAME is required";
    return std::nullopt;
  }
  if (!p.imageSize) {
    error = "--image-size BYTES or --image FILE is required";
    return std::nullopt;
  }
  p.options.settings = DefaultPlcSettings(*p.model, *p.imageSize);

  for (size_t i = 0; i < args.size(); ++i) {
    const Option* option = FindOption(args[i]);
    if (option == nullptr) {
      error = "unknown option \"" + args[i] + "\" (see --help)";
      return std::nullopt;
    }
    const std::string value = ValueAt(*option, args, i);
    if (option->firstPass) continue;
    p.option = option->name;
    if (!option->apply(p, value)) {
      error = p.error;
      return std::nullopt;
    }
  }
  if (p.options.link.empty()) {
    error = "--link PATH is required";
    return std::nullopt;
  }
  return p.options;
}
